// pcapng: what the writer produces reads back and decodes in tshark; the reader takes
// files written by other tools (either byte order, simple packets, blocks it does not know,
// other timestamp resolutions) and refuses broken ones with the file and the offset.

#include <gtest/gtest.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "apps/cfmagentd/Pcapng.h"
#include "tests/apps/cfmagentd/TestUtil.h"
#include "tests/support/Netns.h"

namespace Runner {

// For comparing and printing in expectations.
bool operator==(const PcapngFrame& a, const PcapngFrame& b) {
  return a.intf == b.intf && a.time == b.time && a.bytes == b.bytes;
}

void PrintTo(const PcapngFrame& f, std::ostream* os) {
  *os << "{" << f.intf << ", " << f.time << ", " << f.bytes.size() << " bytes}";
}

}  // namespace Runner

namespace {

using Runner::PcapngFrame;
using RunnerTest::ScratchDir;

// Blocks built by hand, in either byte order, as another tool would write them.
class Blocks {
 public:
  explicit Blocks(bool bigEndian = false) : big_(bigEndian) {}

  std::string u16(std::uint16_t v) const {
    return big_ ? std::string{char(v >> 8), char(v)} : std::string{char(v), char(v >> 8)};
  }
  std::string u32(std::uint32_t v) const {
    return big_ ? u16(std::uint16_t(v >> 16)) + u16(std::uint16_t(v))
                : u16(std::uint16_t(v)) + u16(std::uint16_t(v >> 16));
  }
  // A whole block: type, length, the body padded to 4 bytes, length again.
  std::string block(std::uint32_t type, std::string body) const {
    body.resize((body.size() + 3) & ~std::size_t(3), '\0');
    const auto length = std::uint32_t(body.size() + 12);
    return u32(type) + u32(length) + body + u32(length);
  }
  std::string option(std::uint16_t code, const std::string& value) const {
    std::string o = u16(code) + u16(std::uint16_t(value.size())) + value;
    o.resize((o.size() + 3) & ~std::size_t(3), '\0');
    return o;
  }
  std::string sectionHeader() const {
    return block(0x0a0d0d0a, u32(0x1a2b3c4d) + u16(1) + u16(0) + u32(0xffffffff) + u32(0xffffffff));
  }
  std::string interface(const std::string& name, std::optional<std::uint8_t> tsresol = {},
                        std::uint16_t linkType = 1) const {
    std::string options = option(2, name);
    if (tsresol) options += option(9, std::string(1, char(*tsresol)));
    return block(1, u16(linkType) + u16(0) + u32(0) + options + option(0, ""));
  }
  std::string packet(std::uint32_t intf, std::uint64_t time, const std::string& bytes,
                     std::optional<std::uint32_t> captured = {}) const {
    return block(6, u32(intf) + u32(std::uint32_t(time >> 32)) + u32(std::uint32_t(time)) +
                        u32(captured.value_or(std::uint32_t(bytes.size()))) +
                        u32(std::uint32_t(bytes.size())) + bytes);
  }
  std::string simplePacket(std::uint32_t originalLength, const std::string& bytes) const {
    return block(3, u32(originalLength) + bytes);
  }

 private:
  bool big_;
};

std::string bytesOf(std::size_t n, char seed) {
  std::string b;
  for (std::size_t i = 0; i < n; ++i) b += char(seed + i);
  return b;
}

TEST(PcapngTest, WrittenFramesReadBack) {
  ScratchDir dir;
  // Lengths around the 4-byte padding, a zero byte in a frame, times past 32 bits, an
  // interface name that is not a multiple of 4, interfaces used again after another.
  const std::vector<PcapngFrame> frames = {
      {"Ethernet1", 1700000000250000, bytesOf(60, '\0')},
      {"sw-b", 1700000000250001, bytesOf(61, 'a')},
      {"Ethernet1", 1700000001000000, bytesOf(1, 'x')},
      {"Port-Channel10", 0, bytesOf(1514, 'q')},
      {"sw-b", 5, bytesOf(63, '0')},
  };
  {
    Runner::PcapngWriter writer(dir / "out.pcapng");
    for (const auto& f : frames) writer.write(f.intf, f.time, f.bytes);
    writer.flush();
  }
  EXPECT_EQ(Runner::readPcapng(dir / "out.pcapng"), frames);
}

TEST(PcapngTest, TsharkReadsTheWriterOutput) {
  ASSERT_EQ(std::system("command -v tshark >/dev/null"), 0) << "tshark is missing";
  ScratchDir dir;
  {
    Runner::PcapngWriter writer(dir / "out.pcapng");
    writer.write("Ethernet1", 1700000000250000, bytesOf(75, '\0'));
    writer.write("Ethernet2", 1700000000500000, bytesOf(13, 'a'));
    writer.write("Ethernet1", 1700000001000001, bytesOf(1518, 'b'));
    writer.flush();
  }
  const auto r = E2e::runCommand({"env", "HOME=" + dir.path(), "tshark", "-n", "-r", dir / "out.pcapng",
                                  "-T", "fields", "-e", "frame.interface_name", "-e", "frame.len",
                                  "-e", "frame.time_epoch"});
  ASSERT_EQ(r.status, 0) << r.output;
  std::vector<std::string> lines;
  std::istringstream in(r.output);
  for (std::string line; std::getline(in, line);) {
    if (line.find("Running as user") == std::string::npos) lines.push_back(line);
  }
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Ethernet1\t75\t1700000000.250000000",
                       "Ethernet2\t13\t1700000000.500000000",
                       "Ethernet1\t1518\t1700000001.000001000",
                   }));
}

TEST(PcapngTest, ReadsSectionsOfBothByteOrdersWithSimplePacketsAndUnknownBlocks) {
  ScratchDir dir;
  const Blocks le(false), be(true);
  const std::string frame1 = bytesOf(60, 'a'), frame2 = bytesOf(61, 'b'), frame3 = bytesOf(64, 'c');
  // A second section starts its interface numbering again.
  RunnerTest::writeFile(dir / "in.pcapng",
                        le.sectionHeader() + le.interface("Ethernet1") + le.interface("Ethernet2") +
                            le.packet(1, 7, frame1) + le.block(0x0bad, "ignored body") +
                            be.sectionHeader() + be.block(5, be.u32(0) + be.u32(0)) +
                            be.interface("sw-b") + be.packet(0, 1700000000250000, frame2) +
                            be.simplePacket(61, frame3.substr(0, 61)) +
                            be.simplePacket(200, frame3));  // cut to a snap length of 64
  EXPECT_EQ(Runner::readPcapng(dir / "in.pcapng"),
            (std::vector<PcapngFrame>{{"Ethernet2", 7, frame1},
                                      {"sw-b", 1700000000250000, frame2},
                                      {"sw-b", 0, frame3.substr(0, 61)},
                                      {"sw-b", 0, frame3}}));
}

TEST(PcapngTest, TimestampsAreMicrosecondsWhateverTheResolution) {
  struct Case {
    std::optional<std::uint8_t> tsresol;
    std::uint64_t raw;
    std::uint64_t us;
  };
  const Case cases[] = {
      {std::nullopt, 1700000000250000, 1700000000250000},
      {9, 1700000000250000123, 1700000000250000},  // what dumpcap writes
      {9, 1700000000250000600, 1700000000250001},
      {3, 1700000000250, 1700000000250000},
      {0x80 | 20, std::uint64_t(3) << 19, 1500000},  // binary: 2^-20 s
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    const Blocks b;
    RunnerTest::writeFile(dir / "in.pcapng",
                          b.sectionHeader() + b.interface("Ethernet1", c.tsresol) + b.packet(0, c.raw, "x"));
    const auto frames = Runner::readPcapng(dir / "in.pcapng");
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].time, c.us) << "tsresol " << (c.tsresol ? int(*c.tsresol) : -1);
  }
}

TEST(PcapngTest, BrokenFilesAreRefusedWithFileAndOffset) {
  const Blocks b;
  const std::string shb = b.sectionHeader(), idb = b.interface("Ethernet1");
  const std::string epb = b.packet(0, 1, bytesOf(60, 'a'));
  const std::string head = shb + idb;
  const std::string at = std::to_string(head.size());
  std::string badMagic = shb;
  badMagic[8] = 'x';
  std::string lengthsDisagree = head + epb;
  lengthsDisagree[lengthsDisagree.size() - 4] ^= 4;
  struct Case {
    const char* name;
    std::string bytes;
    std::string message;  // after "<file>: "
  };
  const std::vector<Case> cases = {
      {"empty", "", "empty file"},
      {"no section header", idb + epb, "offset 0: not a pcapng file (no section header)"},
      {"bad byte-order magic", badMagic, "offset 0: bad byte-order magic"},
      {"cut inside a block", head + epb.substr(0, epb.size() - 3), "offset " + at + ": truncated block"},
      {"lengths disagree", lengthsDisagree, "offset " + at + ": block lengths disagree"},
      {"undeclared interface", head + b.packet(5, 1, "x"), "offset " + at + ": packet on undeclared interface 5"},
      {"captured length past the block", head + b.packet(0, 1, "abcd", 400),
       "offset " + at + ": packet runs past its block"},
      {"not Ethernet", shb + b.interface("wlan0", {}, 105), "offset " + std::to_string(shb.size()) +
                                                                ": interface is not Ethernet"},
  };
  for (const auto& c : cases) {
    ScratchDir dir;
    const std::string path = dir / "bad.pcapng";
    RunnerTest::writeFile(path, c.bytes);
    try {
      Runner::readPcapng(path);
      ADD_FAILURE() << c.name << ": accepted";
    } catch (const Runner::PcapngError& e) {
      EXPECT_EQ(e.what(), path + ": " + c.message) << c.name;
    }
  }
  EXPECT_THROW(Runner::readPcapng("/nonexistent/in.pcapng"), Runner::PcapngError);
}

}  // namespace
