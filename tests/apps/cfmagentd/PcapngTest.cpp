// pcapng: what the writer produces reads back and decodes in tshark; the reader takes files
// of other tools, and refuses broken ones with the file and the offset.

#include <gtest/gtest.h>

#include <numeric>
#include <optional>
#include <variant>

#include "tests/apps/cfmagentd/TestUtil.h"
#include "tests/support/Tshark.h"

namespace {

using Cfmagentd::PcapngFrame;
using Frames = std::vector<PcapngFrame>;
// The frames the reader read, or its refusal without the file name.
using Outcome = std::variant<Frames, std::string>;

Outcome outcome(const std::string& bytes) {
  try {
    return Cfmagentd::readPcapngData("in.pcapng", bytes);
  } catch (const Cfmagentd::PcapngError& e) {
    const std::string what = e.what();
    return what.rfind("in.pcapng: ", 0) == 0 ? what.substr(11) : "(no file name) " + what;
  }
}

// Blocks built by hand, in either byte order, as another tool would write them.
struct Blocks {
  bool big = false;
  std::string uint(std::uint64_t v, int bytes) const {
    std::string s;
    for (int i = 0; i < bytes; ++i) s += char(v >> 8 * (big ? bytes - 1 - i : i));
    return s;
  }
  std::string u16(std::uint16_t v) const { return uint(v, 2); }
  std::string u32(std::uint32_t v) const { return uint(v, 4); }
  static std::string padded(std::string s) { return s.append(-s.size() & 3, '\0'); }
  // Type, length, the body padded to 4 bytes, the length again.
  std::string block(std::uint32_t type, const std::string& body) const {
    const std::string length = u32(std::uint32_t(padded(body).size() + 12));
    return u32(type) + length + padded(body) + length;
  }
  std::string option(std::uint16_t code, const std::string& value) const {
    return u16(code) + u16(std::uint16_t(value.size())) + padded(value);
  }
  std::string section() const { return block(0x0a0d0d0a, u32(0x1a2b3c4d) + u16(1) + u16(0) + uint(~0ull, 8)); }
  // An interface block with if_name, and if_tsresol when given.
  std::string interface(const std::string& name, const std::string& tsresol = "", std::uint16_t linkType = 1) const {
    const std::string resolution = tsresol.empty() ? "" : option(9, tsresol);
    return block(1, u16(linkType) + u16(0) + u32(0) + option(2, name) + resolution + option(0, ""));
  }
  std::string packet(std::uint32_t intf, std::uint64_t time, const std::string& bytes,
                     std::optional<std::uint32_t> captured = {}) const {
    const auto length = std::uint32_t(bytes.size());
    return block(6, u32(intf) + uint(time >> 32, 4) + uint(time, 4) + u32(captured.value_or(length)) + u32(length) +
                        bytes);
  }
  std::string simplePacket(std::uint32_t length, const std::string& bytes) const {
    return block(3, u32(length) + bytes);
  }
};

// n bytes counting up from `first`.
std::string bytesOf(std::size_t n, char first) {
  std::string b(n, '\0');
  std::iota(b.begin(), b.end(), first);
  return b;
}

TEST(PcapngTest, WrittenFramesReadBackAndDecodeInTshark) {
  // Lengths around the 4-byte padding and none at all (a replayed frame may be cut to
  // nothing), a zero byte in a frame, times past 32 bits, an interface name that is not a
  // multiple of 4, interfaces used again after another.
  const Frames frames = {{"Ethernet1", 1700000000250000, bytesOf(61, '\0')},
                         {"Port-Channel10", 5, bytesOf(1518, 'q')},
                         {"Ethernet1", 1700000001000001, bytesOf(1, 'x')},
                         {"Port-Channel10", 1700000001000002, ""}};
  TestSupport::ScratchDir dir;
  EXPECT_EQ(Cfmagentd::readPcapng(CfmagentdTest::writePcapng(dir / "out.pcapng", frames)), frames);
  std::vector<std::string> expected;
  for (const auto& f : frames) {
    const std::string us = std::to_string(1000000 + f.time % 1000000).substr(1);
    expected.push_back(f.intf + "\t" + std::to_string(f.bytes.size()) + "\t" + std::to_string(f.time / 1000000) + "." +
                       us + "000");
  }
  EXPECT_EQ(TestSupport::tsharkFields(dir / "out.pcapng", {"frame.interface_name", "frame.len", "frame.time_epoch"}),
            expected);
}

TEST(PcapngTest, BrokenFilesAreRefusedWithFileAndOffset) {
  const Blocks b;
  const std::string shb = b.section(), head = shb + b.interface("Ethernet1"), epb = b.packet(0, 1, bytesOf(60, 'a'));
  const std::string at = "offset " + std::to_string(head.size()) + ": ";
  std::string badMagic = shb, lengthsDisagree = head + epb;
  badMagic[8] = 'x';
  lengthsDisagree[lengthsDisagree.size() - 4] ^= 4;
  const std::pair<std::string, std::string> cases[] = {
      {"", "empty file"},
      {b.interface("Ethernet1") + epb, "offset 0: not a pcapng file (no section header)"},
      {badMagic, "offset 0: bad byte-order magic"},
      {lengthsDisagree, at + "block lengths disagree"},
      {head + b.packet(5, 1, "x"), at + "packet on undeclared interface 5"},
      {shb + b.simplePacket(1, "x"), "offset " + std::to_string(shb.size()) + ": packet on undeclared interface 0"},
      // Too short for their fixed fields: read on, they would take the next block's bytes.
      {head + b.block(3, "") + b.block(0x99, "next"), at + "simple packet block of 12 bytes is too short"},
      {head + b.block(6, b.u32(0)) + epb, at + "enhanced packet block of 16 bytes is too short"},
      {head + b.packet(0, 1, "abcd", 400), at + "packet runs past its block"},
      {shb + b.interface("wlan0", "", 105), "offset " + std::to_string(shb.size()) + ": interface is not Ethernet"},
      {shb + b.interface("Ethernet1", "\x14"),
       "offset " + std::to_string(shb.size() + 16 + b.option(2, "Ethernet1").size()) + ": bad if_tsresol"},
  };
  for (const auto& [bytes, message] : cases) EXPECT_EQ(outcome(bytes), Outcome(message));
  EXPECT_THROW(Cfmagentd::readPcapng("/nonexistent/in.pcapng"), Cfmagentd::PcapngError);
}

// Sections of both byte orders, blocks the reader does not know, simple packets, timestamps
// of every resolution; and the file cut anywhere: refused at the block the cut falls in,
// or, cut between blocks, the frames before the cut.
TEST(PcapngTest, EveryPrefixIsRefusedOrReadsTheFramesBeforeTheCut) {
  const Blocks le, be{true};
  const std::string a = bytesOf(60, 'a'), b = bytesOf(61, 'b'), c = bytesOf(64, 'c');
  const std::vector<std::pair<std::string, std::optional<PcapngFrame>>> blocks = {
      {le.section(), {}},
      {le.interface("Ethernet1"), {}},         // microseconds
      {le.interface("Ethernet2", "\x03"), {}},  // milliseconds
      {le.interface("Ethernet3", "\x94"), {}},  // 2^-20 s
      {le.packet(1, 1700000000250, a), PcapngFrame{"Ethernet2", 1700000000250000, a}},
      {le.packet(2, 3 << 19, "x"), PcapngFrame{"Ethernet3", 1500000, "x"}},
      {le.packet(0, 7, b), PcapngFrame{"Ethernet1", 7, b}},
      {le.block(0x0bad, "ignored body"), {}},
      {be.section(), {}},  // starts the interface numbering again
      {be.block(5, be.u32(0) + be.u32(0)), {}},
      {be.interface("sw-b", "\x09"), {}},  // nanoseconds, as dumpcap writes them
      {be.packet(0, 1700000000250000123, b), PcapngFrame{"sw-b", 1700000000250000, b}},
      {be.packet(0, 1700000000250000600, a), PcapngFrame{"sw-b", 1700000000250001, a}},
      {be.simplePacket(61, b), PcapngFrame{"sw-b", 0, b}},
      {be.simplePacket(200, c), PcapngFrame{"sw-b", 0, c}},  // cut to a snap length of 64
  };
  std::string file;
  for (const auto& [bytes, frame] : blocks) file += bytes;
  Frames before;
  std::size_t block = 0, start = 0;  // the block the cut falls in, and where it starts
  for (std::size_t n = 1; n <= file.size(); ++n) {
    SCOPED_TRACE(std::to_string(n) + " of " + std::to_string(file.size()) + " bytes");
    if (n < start + blocks[block].first.size()) {
      EXPECT_EQ(outcome(file.substr(0, n)), Outcome("offset " + std::to_string(start) + ": truncated block"));
      continue;
    }
    if (blocks[block].second) before.push_back(*blocks[block].second);
    start += blocks[block++].first.size();
    EXPECT_EQ(outcome(file.substr(0, n)), Outcome(before));
  }
}

}  // namespace
