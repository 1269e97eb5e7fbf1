#pragma once
// Frames as a peer puts them on the wire, written byte by byte without the agent's PDU
// types, so that a suite does not check our layout against itself.

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace TestSupport {

// A frame's bytes as the platform's packet interfaces take them.
inline std::span<const std::uint8_t> span(const std::string& bytes) {
  return {reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()};
}

inline std::string mac(std::uint64_t v) {
  std::string m;
  for (int shift = 40; shift >= 0; shift -= 8) m += char(v >> shift);
  return m;
}
inline std::string u16(std::uint16_t v) { return {char(v >> 8), char(v)}; }
inline std::string u32(std::uint32_t v) { return u16(std::uint16_t(v >> 16)) + u16(std::uint16_t(v)); }

const std::string hostA = mac(0x02000000000a);
const std::string hostB = mac(0x02000000000b);
const std::string hostC = mac(0x02000000000c);
const std::string bridgeMac = mac(0x020000000001);  // the demo configuration's
inline std::string ccmGroup(int level) { return mac(0x0180c2000030 + std::uint64_t(level)); }
inline std::string ltmGroup(int level) { return mac(0x0180c2000038 + std::uint64_t(level)); }

// The common header: level and version, opcode, flags, first TLV offset.
inline std::string cfmHeader(int level, int opCode, int flags, int firstTlvOffset) {
  return {char(level << 5), char(opCode), char(flags), char(firstTlvOffset)};
}

// A CCM with interval 1 s and the End TLV; its MD name a character string unless `mdFormat`
// says otherwise (1: no MD name, not even its length byte), its MA name one unless
// `maFormat` does. A name too long for the 48-byte MAID is cut, its length byte kept.
inline std::string ccm(int level, std::uint16_t mepId, const std::string& md = "demo-md",
                       const std::string& ma = "demo-ma", std::uint32_t sequence = 1, int mdFormat = 4,
                       int maFormat = 2) {
  std::string maid = (mdFormat == 1 ? std::string(1, '\x01') : std::string{char(mdFormat), char(md.size())} + md) +
                     std::string{char(maFormat), char(ma.size())} + ma;
  maid.resize(48, '\0');
  return cfmHeader(level, 1, 4, 70) + u32(sequence) + u16(mepId) + maid + std::string(16, '\0') +
         std::string(1, '\0');
}

inline std::string tlv(int type, const std::string& value) { return char(type) + u16(std::uint16_t(value.size())) + value; }
// `bytes` `n` times over: a TLV repeated, as a hostile sender repeats it.
inline std::string repeated(std::size_t n, const std::string& bytes) {
  std::string out;
  out.reserve(n * bytes.size());
  while (n-- > 0) out += bytes;
  return out;
}

// An LTM from `original` with transaction id 0x01020304, its TLVs the End TLV alone unless
// `tlvs` says otherwise.
inline std::string ltm(int ttl, const std::string& target, const std::string& tlvs = std::string(1, '\0'),
                       int flags = 0, const std::string& original = hostA, int level = 3) {
  return cfmHeader(level, 5, flags, 17) + u32(0x01020304) + char(ttl) + original + target + tlvs;
}

// An LBM with the End TLV.
inline std::string lbm(int level, std::uint32_t transactionId) {
  return cfmHeader(level, 3, 0, 4) + u32(transactionId) + std::string(1, '\0');
}

// One Ethernet frame field by field; the defaults make a CCM at level 3 from host A to the
// CCM group address of level 3, untagged.
struct Frame {
  std::string dst = ccmGroup(3);
  std::string src = hostA;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> tags;  // (TPID, tag control), outer first
  std::uint16_t etherType = 0x8902;
  std::string payload = ccm(3, 1);

  Frame& tag(std::uint16_t tci, std::uint16_t tpid = 0x8100) {
    tags.emplace_back(tpid, tci);
    return *this;
  }
  std::string bytes() const {
    std::string b = dst + src;
    for (auto [tpid, tci] : tags) b += u16(tpid) + u16(tci);
    return b + u16(etherType) + payload;
  }
};

// The common short form: dst, src, one 802.1Q tag unless vlan is 0 (TPID as given), CFM.
inline std::string ethernet(const std::string& dst, const std::string& src, std::uint16_t vlan,
                            const std::string& cfm, std::uint16_t tpid = 0x8100) {
  Frame f{dst, src, {}, 0x8902, cfm};
  if (vlan) f.tag(vlan, tpid);
  return f.bytes();
}

}  // namespace TestSupport
