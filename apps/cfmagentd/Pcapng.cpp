#include "apps/cfmagentd/Pcapng.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <iterator>

namespace Cfmagentd {

namespace {

constexpr std::uint32_t blockSectionHeader = 0x0a0d0d0a;
constexpr std::uint32_t blockInterface = 1;
constexpr std::uint32_t blockSimplePacket = 3;
constexpr std::uint32_t blockEnhancedPacket = 6;
// A block this reader looks into, with its least total length: type and length words,
// the fixed fields and the trailing length. Shorter ones would make it read the next
// block's bytes as their own.
struct KnownBlock {
  std::uint32_t type;
  std::uint32_t minLength;
  const char* name;
};
constexpr KnownBlock knownBlocks[] = {
    {blockSectionHeader, 28, "section header"},
    {blockInterface, 20, "interface description"},
    {blockSimplePacket, 16, "simple packet"},
    {blockEnhancedPacket, 32, "enhanced packet"},
};
constexpr std::uint32_t byteOrderMagic = 0x1a2b3c4d;  // written little-endian
constexpr std::uint16_t optEnd = 0;
constexpr std::uint16_t optIfName = 2;
constexpr std::uint16_t linkTypeEthernet = 1;

std::size_t padded(std::size_t n) { return (n + 3) & ~std::size_t(3); }

// Reads integers of one section's byte order out of a file image.
class Cursor {
 public:
  Cursor(const std::string& path, const std::string& data) : path_(path), data_(data) {}

  [[noreturn]] void fail(std::size_t at, const std::string& what) const {
    throw PcapngError(path_ + ": offset " + std::to_string(at) + ": " + what);
  }
  void need(std::size_t at, std::size_t n) const {
    if (at > data_.size() || data_.size() - at < n) fail(at, "truncated block");
  }
  std::uint16_t u16(std::size_t at) const {
    need(at, 2);
    const auto* b = reinterpret_cast<const unsigned char*>(data_.data() + at);
    return swapped_ ? std::uint16_t(b[0] << 8 | b[1]) : std::uint16_t(b[1] << 8 | b[0]);
  }
  std::uint32_t u32(std::size_t at) const {
    need(at, 4);
    const auto* b = reinterpret_cast<const unsigned char*>(data_.data() + at);
    return swapped_ ? std::uint32_t(b[0]) << 24 | b[1] << 16 | b[2] << 8 | b[3]
                    : std::uint32_t(b[3]) << 24 | b[2] << 16 | b[1] << 8 | b[0];
  }
  void swappedIs(bool swapped) { swapped_ = swapped; }
  std::size_t size() const { return data_.size(); }
  std::string bytes(std::size_t at, std::size_t n) const {
    need(at, n);
    return data_.substr(at, n);
  }

 private:
  const std::string& path_;
  const std::string& data_;
  bool swapped_ = false;
};

constexpr std::uint16_t optTsResol = 9;

struct InterfaceBlock {
  std::string name;              // if_name; "" when absent
  long double unitsPerUs = 1.0;  // timestamp units per microsecond (if_tsresol)
};

// The options of an interface block that a reader of its packets needs.
InterfaceBlock interfaceOptions(const Cursor& c, std::size_t at, std::size_t end) {
  InterfaceBlock block;
  while (at + 4 <= end) {
    const std::uint16_t code = c.u16(at);
    const std::uint16_t length = c.u16(at + 2);
    if (code == optEnd) break;
    if (at + 4 + length > end) c.fail(at, "option runs past its block");
    if (code == optIfName) {
      block.name = c.bytes(at + 4, length);
      if (auto nul = block.name.find('\0'); nul != std::string::npos) block.name.resize(nul);
    } else if (code == optTsResol && length >= 1) {
      // Capture tools commonly write nanoseconds (9); the high bit selects powers of two.
      const auto resol = static_cast<unsigned char>(c.bytes(at + 4, 1)[0]);
      const unsigned exponent = resol & 0x7f;
      if ((resol & 0x80) ? exponent > 63 : exponent > 19) c.fail(at, "bad if_tsresol");
      const long double perSecond = (resol & 0x80) ? std::ldexp(1.0L, int(exponent))
                                                   : std::pow(10.0L, int(exponent));
      block.unitsPerUs = perSecond / 1e6L;
    }
    at += 4 + padded(length);
  }
  return block;
}

void put16(std::string& s, std::uint16_t v) { s.append({char(v), char(v >> 8)}); }
void put32(std::string& s, std::uint32_t v) {
  s.append({char(v), char(v >> 8), char(v >> 16), char(v >> 24)});
}
void pad(std::string& s) { s.append(padded(s.size()) - s.size(), '\0'); }

}  // namespace

std::vector<PcapngFrame> readPcapng(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw PcapngError(path + ": cannot open: " + std::strerror(errno));
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return readPcapngData(path, data);
}

std::vector<PcapngFrame> readPcapngData(const std::string& path, const std::string& data) {
  Cursor c(path, data);

  std::vector<PcapngFrame> frames;
  std::vector<InterfaceBlock> interfaces;  // of the current section
  bool inSection = false;
  std::size_t at = 0;
  while (at < c.size()) {
    c.need(at, 12);
    // The section header's type reads the same in both byte orders; its magic, in the
    // file's bytes, tells the order of the section.
    if (c.u32(at) == blockSectionHeader) {
      const std::string magic = c.bytes(at + 8, 4);
      if (magic == "\x4d\x3c\x2b\x1a") {
        c.swappedIs(false);
      } else if (magic == "\x1a\x2b\x3c\x4d") {
        c.swappedIs(true);
      } else {
        c.fail(at, "bad byte-order magic");
      }
      inSection = true;
      interfaces.clear();
    } else if (!inSection) {
      c.fail(at, "not a pcapng file (no section header)");
    }
    const std::uint32_t type = c.u32(at);
    const std::uint32_t length = c.u32(at + 4);
    if (length < 12 || length % 4 != 0) c.fail(at, "bad block length " + std::to_string(length));
    c.need(at, length);
    if (c.u32(at + length - 4) != length) c.fail(at, "block lengths disagree");
    for (const auto& known : knownBlocks) {
      if (known.type == type && length < known.minLength) {
        c.fail(at, std::string(known.name) + " block of " + std::to_string(length) + " bytes is too short");
      }
    }
    const std::size_t body = at + 8;
    const std::size_t end = at + length - 4;

    if (type == blockInterface) {
      if (c.u16(body) != linkTypeEthernet) c.fail(at, "interface is not Ethernet");
      interfaces.push_back(interfaceOptions(c, body + 8, end));
    } else if (type == blockEnhancedPacket) {
      const std::uint32_t id = c.u32(body);
      if (id >= interfaces.size()) c.fail(at, "packet on undeclared interface " + std::to_string(id));
      const std::uint32_t captured = c.u32(body + 12);
      if (body + 20 + captured > end) c.fail(at, "packet runs past its block");
      const std::uint64_t time = std::uint64_t(c.u32(body + 4)) << 32 | c.u32(body + 8);
      const auto& intf = interfaces[id];
      const auto timeUs = intf.unitsPerUs == 1.0L
                              ? time
                              : std::uint64_t(std::llround(time / intf.unitsPerUs));
      frames.push_back({intf.name, timeUs, c.bytes(body + 20, captured)});
    } else if (type == blockSimplePacket) {
      if (interfaces.empty()) c.fail(at, "packet on undeclared interface 0");
      const std::uint32_t original = c.u32(body);
      const std::size_t captured = std::min<std::size_t>(original, end - body - 4);
      frames.push_back({interfaces[0].name, 0, c.bytes(body + 4, captured)});
    }
    at += length;
  }
  if (!inSection) throw PcapngError(path + ": empty file");
  return frames;
}

PcapngWriter::PcapngWriter(const std::string& path)
    : path_(path), out_(path, std::ios::binary | std::ios::trunc) {
  if (!out_) throw PcapngError(path + ": cannot create: " + std::strerror(errno));
  std::string body;
  put32(body, byteOrderMagic);
  put16(body, 1);
  put16(body, 0);
  put32(body, 0xffffffff);  // section length unknown
  put32(body, 0xffffffff);
  block(blockSectionHeader, body);
}

void PcapngWriter::write(const std::string& intf, std::uint64_t timeUs, const std::string& bytes) {
  auto [it, added] = interfaceIds_.try_emplace(intf, std::uint32_t(interfaceIds_.size()));
  if (added) {
    std::string body;
    put16(body, linkTypeEthernet);
    put16(body, 0);
    put32(body, 0);  // no snap length
    put16(body, optIfName);
    put16(body, std::uint16_t(intf.size()));
    body += intf;
    pad(body);
    put16(body, optEnd);
    put16(body, 0);
    block(blockInterface, body);
  }
  std::string body;
  put32(body, it->second);
  put32(body, std::uint32_t(timeUs >> 32));
  put32(body, std::uint32_t(timeUs));
  put32(body, std::uint32_t(bytes.size()));
  put32(body, std::uint32_t(bytes.size()));
  body += bytes;
  pad(body);
  block(blockEnhancedPacket, body);
}

void PcapngWriter::flush() {
  out_.flush();
  if (!out_) throw PcapngError(path_ + ": write failed: " + std::strerror(errno));
}

void PcapngWriter::block(std::uint32_t type, const std::string& body) {
  std::string b;
  put32(b, type);
  put32(b, std::uint32_t(body.size() + 12));
  b += body;
  put32(b, std::uint32_t(body.size() + 12));
  out_.write(b.data(), std::streamsize(b.size()));
}

}  // namespace Cfmagentd
