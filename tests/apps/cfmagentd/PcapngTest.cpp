// pcapng: what the writer produces reads back and decodes in tshark; the reader takes
// files written by other tools (either byte order, simple packets, blocks it does not know,
// other timestamp resolutions) and refuses broken ones with the file and the offset.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "tests/apps/cfmagentd/TestUtil.h"
#include "tests/support/Tshark.h"

namespace {

using Runner::PcapngFrame;
using Frames = std::vector<PcapngFrame>;
// The frames the reader read, or its refusal without the file name.
using Outcome = std::variant<Frames, std::string>;

Outcome outcome(const std::string& bytes) {
  TestSupport::ScratchDir dir;
  const std::string path = dir / "in.pcapng";
  TestSupport::writeFile(path, bytes);
  try {
    return Runner::readPcapng(path);
  } catch (const Runner::PcapngError& e) {
    const std::string what = e.what();
    return what.rfind(path + ": ", 0) == 0 ? what.substr(path.size() + 2) : "(no file name) " + what;
  }
}

// Blocks built by hand, in either byte order, as another tool would write them.
struct Blocks {
  bool big = false;
  std::string u16(std::uint16_t v) const { return big ? std::string{char(v >> 8), char(v)} : std::string{char(v), char(v >> 8)}; }
  std::string u32(std::uint32_t v) const {
    return big ? u16(std::uint16_t(v >> 16)) + u16(std::uint16_t(v)) : u16(std::uint16_t(v)) + u16(std::uint16_t(v >> 16));
  }
  // Type, length, the body padded to 4 bytes, the length again.
  std::string block(std::uint32_t type, std::string body) const {
    body.resize((body.size() + 3) & ~std::size_t(3), '\0');
    return u32(type) + u32(std::uint32_t(body.size() + 12)) + body + u32(std::uint32_t(body.size() + 12));
  }
  std::string option(std::uint16_t code, std::string value) const {
    const auto length = std::uint16_t(value.size());
    value.resize((value.size() + 3) & ~std::size_t(3), '\0');
    return u16(code) + u16(length) + value;
  }
  std::string section() const { return block(0x0a0d0d0a, u32(0x1a2b3c4d) + u16(1) + u16(0) + u32(~0u) + u32(~0u)); }
  std::string interface(const std::string& name, const std::string& tsresol = "", std::uint16_t linkType = 1) const {
    return block(1, u16(linkType) + u16(0) + u32(0) + option(2, name) + (tsresol.empty() ? "" : option(9, tsresol)) +
                        option(0, ""));
  }
  std::string packet(std::uint32_t intf, std::uint64_t time, const std::string& bytes,
                     std::optional<std::uint32_t> captured = {}) const {
    return block(6, u32(intf) + u32(std::uint32_t(time >> 32)) + u32(std::uint32_t(time)) +
                        u32(captured.value_or(std::uint32_t(bytes.size()))) + u32(std::uint32_t(bytes.size())) + bytes);
  }
  std::string simplePacket(std::uint32_t originalLength, const std::string& bytes) const {
    return block(3, u32(originalLength) + bytes);
  }
};

std::string bytesOf(std::size_t n, char seed) {
  std::string b;
  for (std::size_t i = 0; i < n; ++i) b += char(seed + i);
  return b;
}

TEST(PcapngTest, WrittenFramesReadBackAndDecodeInTshark) {
  // Lengths around the 4-byte padding, a zero byte in a frame, times past 32 bits, an
  // interface name that is not a multiple of 4, interfaces used again after another.
  const Frames frames = {
      {"Ethernet1", 1700000000250000, bytesOf(60, '\0')}, {"sw-b", 1700000000250001, bytesOf(61, 'a')},
      {"Ethernet1", 1700000001000000, bytesOf(1, 'x')},   {"Port-Channel10", 0, bytesOf(1518, 'q')},
      {"sw-b", 5, bytesOf(63, '0')},
  };
  TestSupport::ScratchDir dir;
  {
    Runner::PcapngWriter writer(dir / "out.pcapng");
    for (const auto& f : frames) writer.write(f.intf, f.time, f.bytes);
    writer.flush();
  }
  EXPECT_EQ(Runner::readPcapng(dir / "out.pcapng"), frames);
  std::vector<std::string> expected;
  for (const auto& f : frames) {
    const std::string us = std::to_string(1000000 + f.time % 1000000).substr(1);
    expected.push_back(f.intf + "\t" + std::to_string(f.bytes.size()) + "\t" + std::to_string(f.time / 1000000) + "." +
                       us + "000");
  }
  EXPECT_EQ(TestSupport::tsharkFields(dir / "out.pcapng", {"frame.interface_name", "frame.len", "frame.time_epoch"}),
            expected);
}

TEST(PcapngTest, ReadsSectionsOfBothByteOrdersWithSimplePacketsAndUnknownBlocks) {
  const Blocks le, be{true};
  const std::string frame1 = bytesOf(60, 'a'), frame2 = bytesOf(61, 'b'), frame3 = bytesOf(64, 'c');
  // A second section starts its interface numbering again.
  EXPECT_EQ(outcome(le.section() + le.interface("Ethernet1") + le.interface("Ethernet2") + le.packet(1, 7, frame1) +
                    le.block(0x0bad, "ignored body") + be.section() + be.block(5, be.u32(0) + be.u32(0)) +
                    be.interface("sw-b") + be.packet(0, 1700000000250000, frame2) +
                    be.simplePacket(61, frame3.substr(0, 61)) + be.simplePacket(200, frame3)),  // snap length 64
            Outcome(Frames{{"Ethernet2", 7, frame1}, {"sw-b", 1700000000250000, frame2},
                           {"sw-b", 0, frame3.substr(0, 61)}, {"sw-b", 0, frame3}}));
}

TEST(PcapngTest, TimestampsAreMicrosecondsWhateverTheResolution) {
  const std::tuple<std::string, std::uint64_t, std::uint64_t> cases[] = {
      {"", 1700000000250000, 1700000000250000},
      {"\x09", 1700000000250000123, 1700000000250000},  // what dumpcap writes
      {"\x09", 1700000000250000600, 1700000000250001},
      {"\x03", 1700000000250, 1700000000250000},
      {"\x94", std::uint64_t(3) << 19, 1500000},  // binary: 2^-20 s
  };
  const Blocks b;
  for (const auto& [tsresol, raw, us] : cases) {
    EXPECT_EQ(outcome(b.section() + b.interface("Ethernet1", tsresol) + b.packet(0, raw, "x")),
              Outcome(Frames{{"Ethernet1", us, "x"}}));
  }
}

TEST(PcapngTest, BrokenFilesAreRefusedWithFileAndOffset) {
  const Blocks b;
  const std::string shb = b.section(), head = shb + b.interface("Ethernet1"), epb = b.packet(0, 1, bytesOf(60, 'a'));
  const std::string at = "offset " + std::to_string(head.size()) + ": ";
  std::string badMagic = shb, lengthsDisagree = head + epb, oddLength = head + epb;
  badMagic[8] = 'x';
  lengthsDisagree[lengthsDisagree.size() - 4] ^= 4;
  oddLength[head.size() + 4] ^= 1;
  const std::pair<std::string, std::string> cases[] = {
      {"", "empty file"},
      {b.interface("Ethernet1") + epb, "offset 0: not a pcapng file (no section header)"},
      {badMagic, "offset 0: bad byte-order magic"},
      {lengthsDisagree, at + "block lengths disagree"},
      {oddLength, at + "bad block length " + std::to_string(epb.size() + 1)},
      {head + b.packet(5, 1, "x"), at + "packet on undeclared interface 5"},
      {shb + b.simplePacket(1, "x"), "offset " + std::to_string(shb.size()) + ": packet on undeclared interface 0"},
      {head + b.packet(0, 1, "abcd", 400), at + "packet runs past its block"},
      {shb + b.interface("wlan0", "", 105), "offset " + std::to_string(shb.size()) + ": interface is not Ethernet"},
      {shb + b.interface("Ethernet1", "\x14"), "offset " + std::to_string(shb.size() + 16 + b.option(2, "Ethernet1").size()) + ": bad if_tsresol"},
  };
  for (const auto& [bytes, message] : cases) EXPECT_EQ(outcome(bytes), Outcome(message));
  EXPECT_THROW(Runner::readPcapng("/nonexistent/in.pcapng"), Runner::PcapngError);
}

// A file cut anywhere: refused at the block the cut falls in, or, cut between blocks, the
// frames before the cut.
TEST(PcapngTest, EveryPrefixIsRefusedOrReadsTheFramesBeforeTheCut) {
  const Blocks le, be{true};
  const std::string a = bytesOf(60, 'a'), b = bytesOf(61, 'b');
  const std::vector<std::pair<std::string, std::optional<PcapngFrame>>> blocks = {
      {le.section(), {}},
      {le.interface("Ethernet1"), {}},
      {le.packet(0, 7, a), PcapngFrame{"Ethernet1", 7, a}},
      {le.simplePacket(61, b), PcapngFrame{"Ethernet1", 0, b}},
      {be.section(), {}},
      {be.interface("sw-b", "\x09"), {}},
      {be.packet(0, 9000, b), PcapngFrame{"sw-b", 9, b}},
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
