// Writes the fuzz targets' seed corpora from the frames and files the suites use:
//   fuzz_seeds <out dir> <demo config> <fuzz agent config>
// makes <out>/frames, <out>/pcapng, <out>/config and <out>/control. The frames that once
// broke the frame target are written under names saying what they are, as they are kept in
// fuzz/regressions/agent_frames/.

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

#include "apps/cfmagentd/Pcapng.h"
#include "fuzz/FuzzLimits.h"
#include "tests/support/PeerFrames.h"

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

void writeNamed(const fs::path& dir, const std::vector<std::pair<std::string, std::string>>& seeds) {
  fs::create_directories(dir);
  for (const auto& [name, bytes] : seeds) std::ofstream(dir / name, std::ios::binary) << bytes;
}

// The frame target's record: interface index (Ethernet1 is 0), length, bytes.
std::string record(int intf, const std::string& frame) {
  return char(intf) + u16(std::uint16_t(frame.size())) + frame;
}

// Interfaces of fuzz/agent-config.json by record index. The two trunks have an MTU of
// 9,000, the access port 1,500. In VLAN 10, host A is learned behind the trunk, host B
// behind the QinQ trunk and host C configured on the access port.
constexpr int trunk = 0, access = 1, qinq = 7;

const std::string end(1, '\0');

std::string data(std::size_t bytes) { return tlv(3, std::string(bytes, 'd')); }
std::string emptyData(std::size_t n) { return repeated(n, tlv(3, "")); }

// The messages of one VLAN 10 frame (tagged unless from the access port), each with `tlvs`
// where its End TLV would be: an LTM to the bridge (answered here), an LTM to the group
// address for host B (relayed to the QinQ trunk and answered), an LBM, a CCM.
enum class Msg { ltmToBridge, ltmRelayed, lbm, ccm };
constexpr Msg msgs[] = {Msg::ltmToBridge, Msg::ltmRelayed, Msg::lbm, Msg::ccm};

std::string message(Msg msg, const std::string& tlvs, int intf = trunk) {
  const std::uint16_t vlan = intf == access ? 0 : 10;
  std::string pdu;
  switch (msg) {
    case Msg::ltmToBridge:
      return ethernet(bridgeMac, hostA, vlan, ltm(64, bridgeMac, tlvs));
    case Msg::ltmRelayed:
      return ethernet(ltmGroup(3), hostA, vlan, ltm(64, hostB, tlvs));
    case Msg::lbm:
      pdu = lbm(3, 7);
      pdu.pop_back();
      return ethernet(bridgeMac, hostA, vlan, pdu + tlvs);
    case Msg::ccm:
      pdu = ccm(3, 200);
      pdu.pop_back();
      return ethernet(ccmGroup(3), hostA, vlan, pdu + tlvs);
  }
  return {};
}

// The message `bytes` long, made so by one Data TLV and the End TLV.
std::string ofSize(Msg msg, std::size_t bytes, int intf = trunk) {
  return message(msg, data(bytes - message(msg, data(0) + end, intf).size()) + end, intf);
}

// Every TLV type the agent reads, with a value it takes, and one more byte for a second
// length: a reply that copied the last of a type for each of its occurrences would grow.
const std::pair<int, std::string> tlvValues[] = {
    {1, std::string(1, '\0')}, {2, "\x02"}, {3, ""}, {4, "\x01"}, {5, "\x01" + hostB}, {6, "\x01" + hostB},
    {7, u16(1) + hostB}, {8, u16(1) + hostB + u16(2) + hostC}, {31, std::string("\x00\x00\x00\x01", 4)},
};

// Large and TLV-heavy frames: each answer as long as its egress takes, and one byte more.
std::vector<std::string> largeFrameSeeds() {
  std::vector<std::string> seeds;
  for (Msg msg : msgs) {
    // Each type repeated, the odd length last (the one a reply finds) or first.
    for (const auto& [type, value] : tlvValues) {
      const std::string shortTlv = tlv(type, value), longTlv = tlv(type, value + 'x');
      seeds.push_back(record(trunk, message(msg, repeated(20, shortTlv) + longTlv + end)));
      seeds.push_back(record(trunk, message(msg, longTlv + repeated(20, shortTlv) + end)));
    }
    // A thousand TLVs: all of one type, then every type in turn; a chain that ends at the
    // frame's last byte, without an End TLV, short and jumbo.
    seeds.push_back(record(trunk, message(msg, emptyData(1000) + end)));
    std::string mixed;
    for (int i = 0; i < 1000; ++i) mixed += tlv(tlvValues[i % std::size(tlvValues)].first,
                                                tlvValues[i % std::size(tlvValues)].second);
    seeds.push_back(record(trunk, message(msg, mixed + end)));
    seeds.push_back(record(trunk, message(msg, emptyData(3) + data(20))));
    seeds.push_back(record(trunk, message(msg, emptyData(3) + data(8900))));
    // Jumbo: the largest frame a 9,000-byte MTU port takes with one tag, the usual jumbo
    // limit, and the same on the 1,500-byte access port.
    for (std::size_t bytes : {9018, 9216}) seeds.push_back(record(trunk, ofSize(msg, bytes)));
    seeds.push_back(record(access, ofSize(msg, 9216, access)));
  }
  // At the edge of the egress MTU, and one byte past it. An LBR is its LBM, tags and all
  // (9,018 bytes on the trunk, 1,514 on the access port). An LTR is 28 bytes longer than
  // its LTM and a relayed LTM 11, each with the egress port's tags: VLAN 10 leaves the trunk
  // untagged, its native VLAN (9,014 bytes, 4 fewer than the tagged LTM), the access port
  // untagged (1,514) and the QinQ trunk tagged (9,018, 4 more than from the access port).
  for (int over : {0, 1}) {
    seeds.push_back(record(trunk, ofSize(Msg::lbm, 9018 + over)));
    seeds.push_back(record(access, ofSize(Msg::lbm, 1514 + over, access)));
    seeds.push_back(record(trunk, ofSize(Msg::ltmToBridge, 9018 - 28 + over)));
    seeds.push_back(record(access, ofSize(Msg::ltmToBridge, 1514 - 28 + over, access)));
    seeds.push_back(record(trunk, ofSize(Msg::ltmRelayed, 9018 - 11 + over)));
    seeds.push_back(record(access, ofSize(Msg::ltmRelayed, 9018 - 15 + over, access)));
  }
  // A jumbo LTM relayed from the QinQ trunk to host A behind the other trunk, in its TPID.
  seeds.push_back(record(qinq, ethernet(ltmGroup(3), hostB, 10, ltm(64, hostA, data(8000) + end), 0x88a8)));
  // A jumbo LTM after a small CCM and LBM in one input.
  seeds.push_back(record(trunk, message(Msg::ccm, end)) + record(access, message(Msg::lbm, end, access)) +
                  record(trunk, ofSize(Msg::ltmRelayed, 9000)));
  return seeds;
}

// Frames that once broke the frame target, each on the trunk in VLAN 10: LTMs whose
// repeated Data or Organization-Specific TLVs end with a longer one, which a reply or relay
// copying the last TLV of a type for every occurrence would multiply past any buffer.
std::vector<std::pair<std::string, std::string>> regressionSeeds() {
  const std::string tlvs400 = emptyData(400) + data(200) + end;
  const std::string org60 = repeated(59, tlv(31, std::string("\x00\x00\x00\x01", 4))) +
                            tlv(31, std::string("\x00\x00\x00\x02", 4) + std::string(3600, 'o')) + end;
  return {
      {"ltm-1443-bytes-400-empty-data-tlvs-to-bridge", record(trunk, message(Msg::ltmToBridge, tlvs400))},
      {"ltm-1443-bytes-400-empty-data-tlvs-relayed", record(trunk, message(Msg::ltmRelayed, tlvs400))},
      {"ltm-9043-bytes-1000-empty-data-tlvs-relayed",
       record(trunk, message(Msg::ltmRelayed, emptyData(1000) + data(6000) + end))},
      {"ltm-4060-bytes-60-org-tlvs-to-bridge", record(trunk, message(Msg::ltmToBridge, org60))},
      {"ltm-4060-bytes-60-org-tlvs-relayed", record(trunk, message(Msg::ltmRelayed, org60))},
      {"ltm-533-bytes-130-empty-data-tlvs-to-bridge",
       record(trunk, message(Msg::ltmToBridge, emptyData(130) + data(100) + end))},
  };
}

std::vector<std::string> frameSeeds() {
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
  for (auto& large : largeFrameSeeds()) seeds.push_back(std::move(large));
  return seeds;
}

std::vector<std::string> pcapngSeeds(const fs::path& scratch) {
  const std::vector<std::vector<std::tuple<std::string, std::uint64_t, std::string>>> captures = {
      {},
      {{"Ethernet1", 1700000000000000, ethernet(ccmGroup(3), hostA, 10, ccm(3, 200))}},
      {{"sw-a", 1, ethernet(bridgeMac, hostA, 10, lbm(3, 1))},
       {"sw-b", 2, ethernet(ccmGroup(5), hostA, 10, ccm(5, 200))},
       {"", 3, std::string(60, 'x')}},
      // A jumbo frame; the largest frame the replay's sockets take.
      {{"Ethernet1", 4, ofSize(Msg::lbm, 9216)}},
      {{"Ethernet8", 5, std::string(16384, 'j')}},
  };
  std::vector<std::string> seeds;
  for (const auto& frames : captures) {
    {
      Cfmagentd::PcapngWriter writer(scratch.string());
      for (const auto& [intf, time, bytes] : frames) writer.write(intf, time, bytes);
      writer.flush();
    }
    seeds.push_back(readFile(scratch.string()));
  }
  fs::remove(scratch);
  return seeds;
}

std::vector<std::string> controlSeeds() {
  const std::string show = "{\"op\":\"show\"}";
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
      // The longest request the fuzzed server takes, and one byte more.
      show + std::string(Fuzz::controlRequestBytes - show.size(), ' ') + "\n",
      show + std::string(Fuzz::controlRequestBytes + 1 - show.size(), ' ') + "\n",
  };
}

// A document listing every VLAN on a trunk, one by one.
std::string everyVlanConfig() {
  std::string vlans;
  for (int v = 1; v <= 4094; ++v) vlans += (v > 1 ? "," : "") + std::to_string(v);
  return "{\"bridgeMac\":\"02:00:00:00:00:01\",\"interfaces\":{\"Ethernet1\":\"sw-a\"},\"switchports\":{\"Ethernet1\":{\"mode\":\"trunk\","
         "\"allowedVlans\":[" + vlans + "]}}}";
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
  writeNamed(out / "frames", regressionSeeds());
  writeAll(out / "pcapng", pcapngSeeds(out / "scratch.pcapng"));
  const std::string nul(1, '\0');
  writeAll(out / "config", {demo, agent, demo + nul + agent, agent + nul + demo, agent + nul + "{}",
                            demo + nul + "{\"cfm\":{\"domains\":[{\"level\":9}]}}",
                            agent + nul + everyVlanConfig(), everyVlanConfig() + nul + agent});
  writeAll(out / "control", controlSeeds());
  return 0;
}
