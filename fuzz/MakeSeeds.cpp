// Writes the fuzz targets' seed corpora from the frames and files the suites use:
//   fuzz_seeds <out dir> <demo config> <fuzz agent config>
// makes <out>/frames, <out>/pcapng, <out>/config and <out>/control.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "apps/cfmagentd/Pcapng.h"
#include "tests/support/Frames.h"

namespace fs = std::filesystem;
using namespace TestSupport;

namespace {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeAll(const fs::path& dir, const std::vector<std::string>& seeds) {
  fs::create_directories(dir);
  for (std::size_t i = 0; i < seeds.size(); ++i) {
    std::ofstream(dir / ("seed-" + std::to_string(i)), std::ios::binary) << seeds[i];
  }
}

// The frame target's record: interface index (Ethernet1 is 0), length, bytes.
std::string record(int intf, const std::string& frame) {
  return char(intf) + u16(std::uint16_t(frame.size())) + frame;
}

std::vector<std::string> frameSeeds() {
  const std::string end(1, '\0');
  // To a host, to the bridge, useFdbOnly set, a TLV cut short; the first carries a Sender ID,
  // an egress identifier and an organization-specific TLV, which the relay drops or copies.
  const std::string ltms[] = {
      ltm(64, hostB, tlv(1, "\x01\x02") + tlv(7, u16(1) + hostB) + tlv(31, "\x00\x00\x00\x01" "x") + end),
      ltm(5, bridgeMac), ltm(3, mac(0x02000000000e), end, 0x80), ltm(8, hostA, tlv(7, "ab") + "\x05"),
  };
  std::vector<std::string> seeds;
  // Each engine's messages on every interface, untagged and in VLAN 10.
  for (int intf = 0; intf < 8; ++intf) {
    for (std::uint16_t vlan : {0, 10}) {
      seeds.push_back(record(intf, ethernet(ccmGroup(3), hostA, vlan, ccm(3, 200))));
      seeds.push_back(record(intf, ethernet(bridgeMac, hostA, vlan, lbm(3, 7))));
      for (const auto& l : ltms) seeds.push_back(record(intf, ethernet(ltmGroup(3), hostA, vlan, l)));
    }
  }
  // Two tags; a VLAN Ethernet1 translates; the service TPID of the QinQ port; the other name
  // formats.
  seeds.push_back(record(0, Frame{ccmGroup(3), hostA, {{0x8100, 200}, {0x8100, 201}}, 0x8902, ccm(3, 300)}.bytes()));
  seeds.push_back(record(0, ethernet(ccmGroup(3), hostA, 100, ccm(3, 200, "demo-md", "demo-ma", 9))));
  seeds.push_back(record(7, ethernet(ltmGroup(3), hostB, 20, ltms[0], 0x88a8)));
  seeds.push_back(record(7, ethernet(ccmGroup(4), hostB, 20, ccm(4, 5, "", "m", 1, 1), 0x88a8)));
  seeds.push_back(record(2, ethernet(ccmGroup(7), hostC, 0, ccm(7, 1, "top.example", "icc-1", 1, 2, 32))));
  seeds.push_back(record(1, ethernet(ccmGroup(3), hostC, 0, ccm(3, 8191, "demo-md", std::string("\x00\x14", 2), 2, 4, 1))));
  // A CCM teaches the MIP CCM database the sender; the LTM after it finds the sender there.
  seeds.push_back(record(2, ethernet(ccmGroup(3), hostC, 0, ccm(3, 201))) +
                  record(0, ethernet(ltmGroup(3), hostA, 10, ltm(6, hostC))));
  seeds.push_back(record(0, std::string(13, '\x01')));
  return seeds;
}

std::vector<std::string> pcapngSeeds(const fs::path& scratch) {
  const std::vector<std::vector<std::tuple<std::string, std::uint64_t, std::string>>> captures = {
      {},
      {{"Ethernet1", 1700000000000000, ethernet(ccmGroup(3), hostA, 10, ccm(3, 200))}},
      {{"sw-a", 1, ethernet(bridgeMac, hostA, 10, lbm(3, 1))},
       {"sw-b", 2, ethernet(ccmGroup(5), hostA, 10, ccm(5, 200))},
       {"", 3, std::string(60, 'x')}},
  };
  std::vector<std::string> seeds;
  for (const auto& frames : captures) {
    {
      Runner::PcapngWriter writer(scratch.string());
      for (const auto& [intf, time, bytes] : frames) writer.write(intf, time, bytes);
      writer.flush();
    }
    seeds.push_back(readFile(scratch.string()));
  }
  fs::remove(scratch);
  return seeds;
}

std::vector<std::string> controlSeeds() {
  return {
      "{\"op\":\"show\"}\n",
      "{\"op\":\"clear\",\"command\":\"clear continuity-check database\"}\n",
      "{\"op\":\"clear\",\"command\":\"clear intermediate-point database\"}\n",
      "{\"op\":\"clear\",\"command\":\"continuity-check,3,Ethernet1\"}\n",
      "{\"op\":\"clear\",\"command\":\"loopback,,Ethernet1,Ethernet2\"}\n",
      "{\"op\":\"query\",\"topic\":\"counter-sums\",\"fields\":{\"by\":\"class\",\"level\":\"3\"}}\n",
      "{\"op\":\"query\",\"topic\":\"explain-linktrace\",\"fields\":{\"intf\":\"Ethernet1\",\"vlan\":\"10\","
      "\"target\":\"02:00:00:00:00:0b\"}}\n",
      "{\"op\":\"apply\",\"name\":\"x.json\",\"text\":\"{\\\"bridgeMac\\\":\\\"02:00:00:00:00:02\\\"}\"}\n",
      "{\"op\":\"apply\",\"text\":5}",
      "[\"show\"]\n",
  };
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s <out dir> <demo config> <fuzz agent config>\n", argv[0]);
    return 2;
  }
  const fs::path out = argv[1];
  const std::string demo = readFile(argv[2]), agent = readFile(argv[3]);
  writeAll(out / "frames", frameSeeds());
  writeAll(out / "pcapng", pcapngSeeds(out / "scratch.pcapng"));
  const std::string nul(1, '\0');
  writeAll(out / "config", {demo, agent, demo + nul + agent, agent + nul + demo, agent + nul + "{}",
                            demo + nul + "{\"cfm\":{\"domains\":[{\"level\":9}]}}"});
  writeAll(out / "control", controlSeeds());
  return 0;
}
