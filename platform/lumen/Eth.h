#pragma once
// Ethernet and 802.1Q overlays, MAC addresses, network-order integers, and overlayAt, the
// one way to lay an overlay over frame bytes.
//
// Overlays are packed and laid directly over frame bytes. Byte order lives in the field
// types: a network-order field is read with value() and written with valueIs(), so a raw
// read of a big-endian field does not compile.

#include <array>
#include <bit>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace Lumen {

// Type-or-length values: the CFM EtherType, and the TPIDs that announce a VLAN tag.
constexpr std::uint16_t ethTypeCfm = 0x8902;
constexpr std::uint16_t ethTypeDot1Q = 0x8100;   // customer tag; the only inner-tag TPID
constexpr std::uint16_t ethTypeDot1ad = 0x88a8;  // service tag
// Pre-standard provider-bridge TPIDs, still configured on some networks.
constexpr std::uint16_t ethTypeQinQ9100 = 0x9100;
constexpr std::uint16_t ethTypeQinQ9200 = 0x9200;
// Every TPID an outer tag may carry.
constexpr std::array<std::uint16_t, 4> outerTpids = {ethTypeDot1Q, ethTypeDot1ad, ethTypeQinQ9100,
                                                     ethTypeQinQ9200};

// The overlay T at `offset` in `bytes`, or null when fewer than sizeof(T) bytes remain
// there. Frame bytes are untrusted: every header is read through here, so that a short
// frame is a null to count and drop, never a read past its end. Overlays have alignment
// 1, so any offset will do.
template <class T>
const T* overlayAt(std::span<const std::uint8_t> bytes, std::size_t offset) {
  static_assert(std::is_trivially_copyable_v<T> && alignof(T) == 1);
  if (offset > bytes.size() || bytes.size() - offset < sizeof(T)) return nullptr;
  return reinterpret_cast<const T*>(bytes.data() + offset);
}
template <class T>
T* overlayAt(std::span<std::uint8_t> bytes, std::size_t offset) {
  return const_cast<T*>(overlayAt<T>(std::span<const std::uint8_t>(bytes), offset));
}

// 8-bit network-order value: one byte, here for symmetry with the wider ones.
class NetU8 {
 public:
  constexpr NetU8() = default;
  constexpr explicit NetU8(std::uint8_t v) : b_(v) {}
  constexpr std::uint8_t value() const { return b_; }
  constexpr void valueIs(std::uint8_t v) { b_ = v; }
  constexpr bool operator==(const NetU8&) const = default;

 private:
  std::uint8_t b_ = 0;
};

class NetU16 {
 public:
  constexpr NetU16() = default;
  constexpr explicit NetU16(std::uint16_t v) { valueIs(v); }
  constexpr std::uint16_t value() const { return std::uint16_t(b_[0] << 8 | b_[1]); }
  constexpr void valueIs(std::uint16_t v) {
    b_[0] = std::uint8_t(v >> 8);
    b_[1] = std::uint8_t(v);
  }
  constexpr bool operator==(const NetU16&) const = default;

 private:
  std::uint8_t b_[2] = {};
};

class NetU32 {
 public:
  constexpr NetU32() = default;
  constexpr explicit NetU32(std::uint32_t v) { valueIs(v); }
  constexpr std::uint32_t value() const {
    return std::uint32_t(b_[0]) << 24 | std::uint32_t(b_[1]) << 16 | std::uint32_t(b_[2]) << 8 |
           b_[3];
  }
  constexpr void valueIs(std::uint32_t v) {
    for (int i = 3; i >= 0; --i, v >>= 8) b_[i] = std::uint8_t(v);
  }
  constexpr bool operator==(const NetU32&) const = default;

 private:
  std::uint8_t b_[4] = {};
};

class NetU64 {
 public:
  constexpr NetU64() = default;
  constexpr explicit NetU64(std::uint64_t v) { valueIs(v); }
  constexpr std::uint64_t value() const {
    std::uint64_t v = 0;
    for (std::uint8_t b : b_) v = v << 8 | b;
    return v;
  }
  constexpr void valueIs(std::uint64_t v) {
    for (int i = 7; i >= 0; --i, v >>= 8) b_[i] = std::uint8_t(v);
  }
  constexpr bool operator==(const NetU64&) const = default;

 private:
  std::uint8_t b_[8] = {};
};

static_assert(sizeof(NetU8) == 1 && sizeof(NetU16) == 2 && sizeof(NetU32) == 4);

// A 48-bit MAC address, six bytes in wire order.
class EthAddr {
 public:
  constexpr EthAddr() = default;
  constexpr EthAddr(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
                    std::uint8_t e, std::uint8_t f)
      : b_{a, b, c, d, e, f} {}
  static EthAddr fromBytes(const std::uint8_t* bytes);
  // Parses "aa:bb:cc:dd:ee:ff" (also '-' separated, either case); none when malformed.
  static std::optional<EthAddr> fromString(std::string_view text);

  constexpr const std::array<std::uint8_t, 6>& bytes() const { return b_; }
  constexpr std::uint8_t operator[](std::size_t i) const { return b_[i]; }
  // The group bit (bit 0 of the first byte) is clear.
  constexpr bool isUnicast() const { return (b_[0] & 0x01) == 0; }
  constexpr bool isMulticast() const { return !isUnicast(); }
  constexpr bool isZero() const { return b_ == std::array<std::uint8_t, 6>{}; }

  // The address as a 48-bit number, first byte most significant: ordering by it is the
  // bytes' order, in one compare instead of six.
  constexpr std::uint64_t value() const {
    std::uint64_t v = 0;
    if (std::is_constant_evaluated()) {
      for (std::uint8_t byte : b_) v = (v << 8) | byte;
      return v;
    }
    // Two loads of the sizes the address was stored with: one eight-byte load over six
    // stored bytes would stall on store forwarding.
    std::uint32_t high;
    std::uint16_t low;
    std::memcpy(&high, b_.data(), sizeof high);
    std::memcpy(&low, b_.data() + sizeof high, sizeof low);
    if constexpr (std::endian::native == std::endian::little) {
      high = __builtin_bswap32(high);
      low = __builtin_bswap16(low);
    }
    return (std::uint64_t(high) << 16) | low;
  }
  constexpr std::strong_ordering operator<=>(const EthAddr& other) const {
    return value() <=> other.value();
  }
  constexpr bool operator==(const EthAddr& other) const = default;
  // "aa:bb:cc:dd:ee:ff", lower case.
  std::string stringValue() const;

 private:
  std::array<std::uint8_t, 6> b_{};
};
static_assert(sizeof(EthAddr) == 6);
std::ostream& operator<<(std::ostream& os, const EthAddr& addr);

#pragma pack(push, 1)

// Destination, source, type-or-length: the 14-byte Ethernet II header.
class EthHdr {
 public:
  EthAddr dst() const { return dst_; }
  EthAddr src() const { return src_; }
  std::uint16_t typeOrLen() const { return typeOrLen_.value(); }
  void dstIs(const EthAddr& a) { dst_ = a; }
  void srcIs(const EthAddr& a) { src_ = a; }
  void typeOrLenIs(std::uint16_t v) { typeOrLen_.valueIs(v); }

 private:
  EthAddr dst_;
  EthAddr src_;
  NetU16 typeOrLen_;
};

// The 802.1Q tag control information. Bits 15-13: priority; bit 12: drop eligible;
// bits 11-0: VLAN id.
class Eth8021QTagControl {
 public:
  std::uint8_t priority() const { return std::uint8_t(tci_.value() >> 13); }
  bool dropEligible() const { return (tci_.value() >> 12) & 1u; }
  std::uint16_t vlanId() const { return tci_.value() & 0x0fffu; }
  std::uint16_t value() const { return tci_.value(); }
  void priorityIs(std::uint8_t p) {
    tci_.valueIs(std::uint16_t((tci_.value() & 0x1fffu) | (unsigned(p & 0x7u) << 13)));
  }
  void dropEligibleIs(bool d) {
    tci_.valueIs(std::uint16_t((tci_.value() & ~0x1000u) | (d ? 0x1000u : 0u)));
  }
  void vlanIdIs(std::uint16_t v) {
    tci_.valueIs(std::uint16_t((tci_.value() & 0xf000u) | (v & 0x0fffu)));
  }
  void valueIs(std::uint16_t v) { tci_.valueIs(v); }

 private:
  NetU16 tci_;
};

// One VLAN tag as it follows the TPID: tag control, then the next type-or-length.
class Eth8021QHdr {
 public:
  Eth8021QTagControl& tagControl() { return tagControl_; }
  const Eth8021QTagControl& tagControl() const { return tagControl_; }
  std::uint16_t typeOrLen() const { return typeOrLen_.value(); }
  void typeOrLenIs(std::uint16_t v) { typeOrLen_.valueIs(v); }

 private:
  Eth8021QTagControl tagControl_;
  NetU16 typeOrLen_;
};

#pragma pack(pop)

static_assert(sizeof(EthHdr) == 14 && sizeof(Eth8021QTagControl) == 2 && sizeof(Eth8021QHdr) == 4);
static_assert(alignof(EthHdr) == 1 && alignof(Eth8021QHdr) == 1);

}  // namespace Lumen

template <>
struct std::hash<Lumen::EthAddr> {
  std::size_t operator()(const Lumen::EthAddr& a) const noexcept {
    std::uint64_t v = 0;
    for (std::uint8_t b : a.bytes()) v = v << 8 | b;
    return std::hash<std::uint64_t>()(v);
  }
};
