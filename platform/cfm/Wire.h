#pragma once
// The CFM wire format every program here speaks: the common header (IEEE 802.1ag clause
// 21.4), the flags of each opcode and TLV framing with its checked walk. The agent, the
// software ALE layer and cfmtool all read and build frames with these types.
//
// Every CFM frame carries, after its Ethernet header and tags, a 4-byte common header, an
// opcode-specific fixed part and a chain of TLVs. The types here are packed overlays: laid
// over received bytes or constructed in place in a transmit buffer, so their size and field
// offsets are the wire format's. Byte order lives in the field types (Lumen::NetU16 and
// friends): a big-endian field can only be read and written in host order through them.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "platform/kiln/Errors.h"
#include "platform/lumen/Eth.h"
#include "platform/types/CfmTypes.h"

namespace Cfm {

using Lumen::NetU64;

// The bytes an overlay puts on the wire; constant-evaluable, so that layouts can be
// checked at compile time through the accessors themselves.
template <class T>
constexpr std::array<std::uint8_t, sizeof(T)> wireBytes(const T& overlay) {
  return std::bit_cast<std::array<std::uint8_t, sizeof(T)>>(overlay);
}

// Reads the text forms of the PDU value types back. Every failure is a
// Kiln::RangeException: "Invalid <type> text '<text>'" when the text does not have the
// form, "Invalid <type>::<attribute> '<part>'" when an attribute cannot be read.
class TextReader {
 public:
  TextReader(std::string_view type, std::string_view text) : type_(type), text_(text) {}
  void expect(std::string_view literal);
  // A decimal number of at most `max`.
  std::uint64_t readUnsigned(std::string_view attribute, std::uint64_t max);
  Lumen::EthAddr readEthAddr(std::string_view attribute);
  void expectEnd();

 private:
  [[noreturn]] void failText() const;
  [[noreturn]] void failAttribute(std::string_view attribute, std::string_view part) const;

  std::string_view type_;
  std::string_view text_;
  std::size_t pos_ = 0;
};

// The whole text is one decimal U8: the text form of the one-byte value types.
std::uint8_t parseU8(std::string_view type, std::string_view text);

[[noreturn]] void throwOpCodeRange();

#pragma pack(push, 1)

// The first header byte: MD level in bits 7-5, version in bits 4-0.
class MdLevelVersion {
 public:
  static constexpr std::uint8_t implementationVersion = 0;

  constexpr MdLevelVersion() = default;
  constexpr explicit MdLevelVersion(std::uint8_t value) : value_(value) {}

  constexpr std::uint8_t value() const { return value_.value(); }
  constexpr void valueIs(std::uint8_t value) { value_.valueIs(value); }
  constexpr std::uint8_t version() const { return value() & 0x1f; }
  constexpr std::uint8_t mdLevel() const { return value() >> 5; }
  // Only the low three bits of the level fit.
  constexpr void mdLevelIs(std::uint8_t level) {
    valueIs(std::uint8_t((value() & 0x1f) | (level << 5)));
  }
  constexpr void versionIs(std::uint8_t version) {
    valueIs(std::uint8_t((value() & 0xe0) | (version & 0x1f)));
  }

  constexpr bool operator==(const MdLevelVersion& o) const { return value() == o.value(); }
  constexpr auto operator<=>(const MdLevelVersion& o) const { return value() <=> o.value(); }

  // The decimal value of the byte.
  std::string stringValue() const;
  // Reads the decimal byte and clears the version: we only ever speak version 0.
  static MdLevelVersion parse(std::string_view text);

 private:
  Lumen::NetU8 value_;
};
std::ostream& operator<<(std::ostream& os, MdLevelVersion field);

class CFMCommonHeader {
 public:
  static constexpr std::uint8_t opCodeMin = Cfm::opCodeCcm;
  static constexpr std::uint8_t opCodeMax = Cfm::opCodeLtm;

  // Version 0, flags 0, first TLV offset 0. Only the low three bits of the level reach
  // the byte. An opcode outside 1-5 raises "CFMCommonHeader::opCode <
  // CFMCommonHeader::opCodeMin or > CFMCommonHeader::opCodeMax not allowed".
  constexpr CFMCommonHeader(std::uint8_t mdLevel, std::uint8_t opCode) {
    mdLevelField_.mdLevelIs(mdLevel);
    opCode_.valueIs(opCode);
    if (opCode < opCodeMin || opCode > opCodeMax) throwOpCodeRange();
  }

  constexpr MdLevelVersion mdLevelField() const { return mdLevelField_; }
  constexpr std::uint8_t mdLevel() const { return mdLevelField_.mdLevel(); }
  constexpr std::uint8_t version() const { return mdLevelField_.version(); }
  constexpr std::uint8_t opCode() const { return opCode_.value(); }
  constexpr std::uint8_t flag() const { return flag_.value(); }
  // Bytes from the end of this field (header byte 4) to the first TLV.
  constexpr std::uint8_t firstTlvOffset() const { return firstTlvOffset_.value(); }

  constexpr void mdLevelFieldIs(MdLevelVersion field) { mdLevelField_ = field; }
  constexpr void mdLevelIs(std::uint8_t level) { mdLevelField_.mdLevelIs(level); }
  constexpr void versionIs(std::uint8_t version) { mdLevelField_.versionIs(version); }
  // A new value outside 1-5 is stored and then refused with the range error of the
  // constructor; the stored value unchanged is never an error.
  constexpr void opCodeIs(std::uint8_t opCode) {
    if (opCode == opCode_.value()) return;
    opCode_.valueIs(opCode);
    if (opCode < opCodeMin || opCode > opCodeMax) throwOpCodeRange();
  }
  constexpr void flagIs(std::uint8_t flag) { flag_.valueIs(flag); }
  constexpr void firstTlvOffsetIs(std::uint8_t offset) { firstTlvOffset_.valueIs(offset); }

 private:
  MdLevelVersion mdLevelField_;
  Lumen::NetU8 opCode_;
  Lumen::NetU8 flag_;
  Lumen::NetU8 firstTlvOffset_;
};

// The 3-byte header of every TLV but the End TLV: type, then the count of the bytes that
// follow the header.
class TypeLength {
 public:
  constexpr TypeLength() = default;

  constexpr std::uint8_t type() const { return type_.value(); }
  constexpr std::uint16_t length() const { return length_.value(); }
  constexpr void typeIs(std::uint8_t type) { type_.valueIs(type); }
  constexpr void lengthIs(std::uint16_t length) { length_.valueIs(length); }

 private:
  Lumen::NetU8 type_;
  Lumen::NetU16 length_;
};

// The Port Status and Interface Status TLVs: the header and one byte of value.
class StatusTlv : public TypeLength {
 public:
  static constexpr std::uint16_t defaultLength = 1;
  constexpr std::uint8_t value() const { return value_.value(); }
  constexpr void valueIs(std::uint8_t value) { value_.valueIs(value); }

 private:
  Lumen::NetU8 value_;
};

#pragma pack(pop)

static_assert(sizeof(StatusTlv) == 4 && alignof(StatusTlv) == 1);
static_assert(sizeof(MdLevelVersion) == 1 && alignof(MdLevelVersion) == 1);
static_assert(sizeof(CFMCommonHeader) == 4 && alignof(CFMCommonHeader) == 1);
static_assert(sizeof(TypeLength) == 3 && alignof(TypeLength) == 1);

class FirstTlvOffset {
 public:
  // The first-TLV offset of each PDU we build, and the least one we accept on receive.
  static constexpr std::uint8_t firstTlvOffsetCcm = 70;
  static constexpr std::uint8_t firstTlvOffsetLbm = 4;
  static constexpr std::uint8_t firstTlvOffsetLbr = 4;
  static constexpr std::uint8_t firstTlvOffsetLtr = 6;
  static constexpr std::uint8_t firstTlvOffsetLtm = 17;

  constexpr FirstTlvOffset() = default;
  constexpr explicit FirstTlvOffset(std::uint8_t value) : value_(value) {}
  constexpr std::uint8_t value() const { return value_; }
  constexpr bool operator==(const FirstTlvOffset&) const = default;

  std::string stringValue() const;
  static FirstTlvOffset parse(std::string_view text);

 private:
  std::uint8_t value_ = 0;
};
std::ostream& operator<<(std::ostream& os, FirstTlvOffset offset);

// The least first-TLV offset a received header of this opcode may carry: its PDU's fixed
// part, so that an accepted frame holds the whole overlay of its opcode (each PDU header
// checks that its overlay agrees). 0 for opCodeNone; the receive path has refused opcodes
// above 5 before it asks.
constexpr std::uint8_t minFirstTlvOffset(std::uint8_t opCode) {
  constexpr std::uint8_t minimum[] = {
      0,
      FirstTlvOffset::firstTlvOffsetCcm,
      FirstTlvOffset::firstTlvOffsetLbr,
      FirstTlvOffset::firstTlvOffsetLbm,
      FirstTlvOffset::firstTlvOffsetLtr,
      FirstTlvOffset::firstTlvOffsetLtm,
  };
  static_assert(std::size(minimum) == CFMCommonHeader::opCodeMax + 1);
  KILN_ASSERT(opCode <= CFMCommonHeader::opCodeMax);
  return minimum[opCode];
}

// The TLV type codes of IEEE 802.1ag (Table 21-6). A received chain may carry other
// codes; they print as their number.
enum TlvType : std::uint8_t {
  tlvTypeEnd = 0,
  tlvTypeSenderId = 1,
  tlvTypePortStatus = 2,
  tlvTypeData = 3,
  tlvTypeInterfaceStatus = 4,
  tlvTypeLtrReplyIngress = 5,
  tlvTypeLtrReplyEgress = 6,
  tlvTypeLtmEgressId = 7,
  tlvTypeLtrEgressId = 8,
  tlvTypeOrganizationSpecific = 31,
};
// The enumerator name, or the decimal number of an unnamed code.
std::string stringValue(TlvType type);
std::ostream& operator<<(std::ostream& os, TlvType type);
TlvType TlvTypeInstance(std::uint8_t value);
// Reads what stringValue writes: a name, or a decimal code ("Invalid TlvType::value '300'"
// above 255); anything else raises "Invalid TlvType text '<text>'".
TlvType TlvTypeInstance(std::string_view name);

// The flags byte of each opcode.
namespace Flags {
// CCM: bit 7 RDI, bits 6-3 reserved, bits 2-0 the transmit interval code.
inline constexpr std::uint8_t ccmRdi = 0x80;
inline constexpr std::uint8_t ccmReserved = 0x78;
inline constexpr std::uint8_t ccmInterval = 0x07;
// LTM and LTR: bit 7 UseFDBonly. LTR only: bit 6 FwdYes, bit 5 TerminalMEP.
inline constexpr std::uint8_t useFdbOnly = 0x80;
inline constexpr std::uint8_t ltrFwdYes = 0x40;
inline constexpr std::uint8_t ltrTerminalMep = 0x20;
}  // namespace Flags

// `flags` with the bits of `mask` set or cleared.
constexpr std::uint8_t withFlag(std::uint8_t flags, std::uint8_t mask, bool on) {
  return std::uint8_t(on ? (flags | mask) : (flags & ~mask));
}

// Why a TLV chain could not be walked to its end.
enum class TlvFault : std::uint8_t {
  none,
  headerTruncated,  // a TLV's type and length do not fit in what is left of the frame
  valuePastEnd,     // a TLV's length runs past the end of the frame
};

// The TLV at the front of `chain`, which runs from a TLV's first byte to the end of the
// frame: the End TLV as its one byte, any other as its header and value. Empty at the end
// of the frame and when the TLV does not fit, which `fault` then says.
template <class Byte>
struct TlvAt {
  std::span<Byte> tlv;
  TlvFault fault = TlvFault::none;
};
template <class Byte>
TlvAt<Byte> tlvAt(std::span<Byte> chain) {
  if (chain.empty()) return {};
  if (chain[0] == tlvTypeEnd) return {chain.first(1)};
  const auto* header = Lumen::overlayAt<TypeLength>(chain, 0);
  if (!header) return {{}, TlvFault::headerTruncated};
  if (header->length() > chain.size() - sizeof(TypeLength)) return {{}, TlvFault::valuePastEnd};
  return {chain.first(sizeof(TypeLength) + header->length())};
}

// A TLV's type, and the value after its header (empty for the End TLV).
template <class Byte>
constexpr TlvType tlvType(std::span<Byte> tlv) { return TlvType(tlv[0]); }
template <class Byte>
constexpr std::span<Byte> tlvValue(std::span<Byte> tlv) {
  return tlv.size() < sizeof(TypeLength) ? std::span<Byte>() : tlv.subspan(sizeof(TypeLength));
}

// The TLVs of a chain in order: every one before the End TLV, which ends the walk as the
// end of the frame does; a TLV that does not fit ends it with its fault.
template <class Byte>
class TlvWalk {
 public:
  constexpr explicit TlvWalk(std::span<Byte> chain) : left_(chain) {}

  // The next TLV before the End TLV; empty once the walk is over.
  std::span<Byte> next() {
    if (done_) return {};
    const TlvAt<Byte> at = tlvAt(left_);
    fault_ = at.fault;
    consumed_ += at.tlv.size();
    left_ = left_.subspan(at.tlv.size());
    done_ = at.tlv.empty() || tlvType(at.tlv) == tlvTypeEnd;
    return done_ ? std::span<Byte>() : at.tlv;
  }
  constexpr TlvFault fault() const { return fault_; }
  // The bytes walked so far, the End TLV included.
  constexpr std::size_t consumed() const { return consumed_; }

 private:
  std::span<Byte> left_;
  std::size_t consumed_ = 0;
  TlvFault fault_ = TlvFault::none;
  bool done_ = false;
};
template <class Byte>
TlvWalk(std::span<Byte>) -> TlvWalk<Byte>;

}  // namespace Cfm
