#pragma once
// The CFM value types shared by the CFM agent, its configuration and status entities and
// the ALE layer's configuration: MD levels, MEP ids, MD and MA names with their formats,
// opcodes and the protocols they are handed to, CFM profile names, CCM transmit
// intervals, MEP directions, and the decoder of the CFM group addresses.
//
// Every type is a small value: comparable, hashable and printable, so that it can key the
// collections built on it.

#include <algorithm>
#include <array>
#include <limits>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/lumen/Eth.h"

namespace Cfm {

// A maintenance domain level, 0-7, or 8 ("invalid"): no level, as for a frame whose
// header was not accepted yet or a machine that has no domain. The default is no level.
class MdLevel {
 public:
  static constexpr std::uint8_t min = 0;
  static constexpr std::uint8_t max = 7;
  static constexpr std::uint8_t invalid = 8;

  constexpr MdLevel() = default;
  // Outside 0-8: "MdLevel::value < MdLevel::min or > MdLevel::invalid not allowed". Wide,
  // so that a level that came as a larger integer (256, -1) is refused, not narrowed into
  // range.
  explicit constexpr MdLevel(std::int64_t value) : value_(std::uint8_t(value)) {
    if (value < min || value > invalid) throwRange();
  }

  constexpr std::uint8_t value() const { return value_; }
  constexpr bool isValid() const { return value_ <= max; }
  constexpr auto operator<=>(const MdLevel&) const = default;

 private:
  [[noreturn]] static void throwRange();
  std::uint8_t value_ = invalid;
};
std::ostream& operator<<(std::ostream& os, MdLevel level);

// A maintenance end point id, 1-8191. The default MepId is 0, "none": it keys the machine
// or entry that has no MEP yet. 0 cannot be built from a number, so a MEP id that came
// from configuration or a frame is always a real one.
class MepId {
 public:
  static constexpr std::uint16_t min = 1;
  static constexpr std::uint16_t max = 8191;

  constexpr MepId() = default;
  // Outside 1-8191: "MepId::value < MepId::min or > MepId::max not allowed".
  explicit MepId(std::uint16_t value);

  constexpr std::uint16_t value() const { return value_; }
  constexpr bool isNone() const { return value_ == 0; }
  constexpr auto operator<=>(const MepId&) const = default;

 private:
  std::uint16_t value_ = 0;
};
std::ostream& operator<<(std::ostream& os, MepId id);

// Up to N bytes kept inside the value: a name read from every received CCM costs no
// allocation.
template <std::size_t N>
class BoundedBytes {
  static_assert(N <= std::numeric_limits<std::uint8_t>::max());

 public:
  static constexpr std::size_t maxBytes = N;

  std::string_view bytes() const { return {bytes_.data(), size_}; }
  std::string stringValue() const { return std::string(bytes()); }
  std::size_t size() const { return size_; }
  // As their bytes order; one memcmp, not a byte-by-byte walk of the whole array.
  std::strong_ordering operator<=>(const BoundedBytes& other) const {
    return bytes() <=> other.bytes();
  }
  bool operator==(const BoundedBytes& other) const { return bytes() == other.bytes(); }

 protected:
  BoundedBytes() = default;
  // False, keeping nothing, when `bytes` does not fit.
  bool assign(std::string_view bytes) {
    if (bytes.size() > N) return false;
    std::copy(bytes.begin(), bytes.end(), bytes_.begin());
    size_ = std::uint8_t(bytes.size());
    return true;
  }

 private:
  std::array<char, N> bytes_{};
  std::uint8_t size_ = 0;
};

// A maintenance association name: at most 45 bytes, the most a 48-byte MAID leaves for it
// when it carries no MD name. Bytes, not text: any byte value may occur.
class MaName : public BoundedBytes<45> {
 public:
  MaName() = default;
  // Longer: "MaName::bytes > 45 not allowed".
  explicit MaName(std::string_view bytes);
  auto operator<=>(const MaName&) const = default;
};
std::ostream& operator<<(std::ostream& os, const MaName& name);

// A maintenance domain name: at most 43 bytes, the most a MAID can carry while leaving
// room for a one-byte MA name.
class MdName : public BoundedBytes<43> {
 public:
  MdName() = default;
  // Longer: "MdName::bytes > 43 not allowed".
  explicit MdName(std::string_view bytes);
  auto operator<=>(const MdName&) const = default;
};
std::ostream& operator<<(std::ostream& os, const MdName& name);

// The Maintenance Domain Name Format codes of IEEE 802.1ag (Table 21-19). A received MAID
// may carry any byte here; the unnamed ones print as their number.
enum MdNameFormat : std::uint8_t {
  mdNameFormatNone = 1,
  mdNameFormatDnsLikeName = 2,
  mdNameFormatMacAddressAndUint = 3,
  mdNameFormatCharacterString = 4,
};
std::string stringValue(MdNameFormat format);
std::ostream& operator<<(std::ostream& os, MdNameFormat format);

// The Short MA Name Format codes of IEEE 802.1ag (Table 21-20), with the ICC-based
// format of ITU-T Y.1731.
enum MaNameFormat : std::uint8_t {
  maNameFormatPrimaryVid = 1,
  maNameFormatCharacterString = 2,
  maNameFormatUint16 = 3,
  maNameFormatRfc2685VpnId = 4,
  maNameFormatIccBased = 32,
};
std::string stringValue(MaNameFormat format);
std::ostream& operator<<(std::ostream& os, MaNameFormat format);

// A domain name as configured and as it goes into a CCM's MAID: the name only means
// something together with its format.
struct MdNameWithFormat {
  MdName name;
  // The empty name of a default value is "no MD name".
  MdNameFormat format = mdNameFormatNone;
  auto operator<=>(const MdNameWithFormat&) const = default;
};
std::ostream& operator<<(std::ostream& os, const MdNameWithFormat& name);

struct MaNameWithFormat {
  MaName name;
  MaNameFormat format = maNameFormatCharacterString;
  auto operator<=>(const MaNameWithFormat&) const = default;
};
std::ostream& operator<<(std::ostream& os, const MaNameWithFormat& name);

// The CFM opcodes the agent knows. Others can be read from a frame; they print as their
// number.
enum OpCode : std::uint8_t {
  opCodeNone = 0,
  opCodeCcm = 1,
  opCodeLbr = 2,
  opCodeLbm = 3,
  opCodeLtr = 4,
  opCodeLtm = 5,
};
std::string stringValue(OpCode op);
std::ostream& operator<<(std::ostream& os, OpCode op);

// The engine a frame is handed to. Each value is the opcode of the message the engine
// answers, so a reply and its message share one engine: the protocol of an opcode 1-5 is
// the opcode with its lowest bit set.
enum Protocol : std::uint8_t {
  protocolContinuityCheck = 1,
  protocolLoopback = 3,
  protocolLinktrace = 5,
};
constexpr Protocol protocolOf(OpCode op) { return Protocol(op | 1u); }
std::string stringValue(Protocol protocol);
std::ostream& operator<<(std::ostream& os, Protocol protocol);

// The name of a CFM profile (CCM settings shared by associations).
class CfmProfileName {
 public:
  CfmProfileName() = default;
  explicit CfmProfileName(std::string_view name) : name_(name) {}
  const std::string& stringValue() const { return name_; }
  auto operator<=>(const CfmProfileName&) const = default;

 private:
  std::string name_;
};
std::ostream& operator<<(std::ostream& os, const CfmProfileName& name);

// A CCM transmit interval in seconds, as the operator configures it; the ALE layer maps
// it to the interval codes of the wire.
class CcmTxInterval {
 public:
  constexpr CcmTxInterval() = default;
  constexpr explicit CcmTxInterval(double seconds) : value_(seconds) {}
  constexpr double value() const { return value_; }
  constexpr auto operator<=>(const CcmTxInterval&) const = default;

 private:
  double value_ = 0.0;
};
std::ostream& operator<<(std::ostream& os, CcmTxInterval interval);

// The seven transmit periods a CCM's interval field can carry, for the codes 1-7 in order
// (code 0 is invalid): 3.33 ms, 10 ms, 100 ms, 1 s, 10 s, 1 min and 10 min.
inline constexpr std::array<CcmTxInterval, 7> ccmTxIntervals = {
    CcmTxInterval(1.0 / 300), CcmTxInterval(0.01), CcmTxInterval(0.1),  CcmTxInterval(1),
    CcmTxInterval(10),        CcmTxInterval(60),   CcmTxInterval(600),
};

// The interval code (1-7) of the period nearest to `interval`, nearest by ratio: receivers
// time out in multiples of the code's period, so 0.3 s is closer to 100 ms than to 1 s. An
// interval of 0 or less (none configured) gives the shortest, code 1: whoever sends must
// not send without an interval.
std::uint8_t ccmIntervalCode(CcmTxInterval interval);

enum MepDirection : std::uint8_t {
  mepDirectionDown = 0,
  mepDirectionUp = 1,
};
std::string stringValue(MepDirection direction);
std::ostream& operator<<(std::ostream& os, MepDirection direction);

// Decodes a destination address (Cfm::groupClassOf): 01-80-C2-00-00-30..37 are the CCM
// group addresses of levels 0-7, 01-80-C2-00-00-38..3F the LTM group addresses of levels
// 0-7. Any other address yields no level (8) and opCodeNone.
class CfmMulticastEthAddr {
 public:
  explicit CfmMulticastEthAddr(const Lumen::EthAddr& addr);

  MdLevel mdLevel() const { return mdLevel_; }
  OpCode opCode() const { return opCode_; }

 private:
  MdLevel mdLevel_;
  OpCode opCode_ = opCodeNone;
};

}  // namespace Cfm

template <>
struct std::hash<Cfm::MdLevel> {
  std::size_t operator()(Cfm::MdLevel level) const noexcept { return level.value(); }
};
template <>
struct std::hash<Cfm::MepId> {
  std::size_t operator()(Cfm::MepId id) const noexcept { return id.value(); }
};
template <>
struct std::hash<Cfm::MaName> {
  std::size_t operator()(const Cfm::MaName& name) const noexcept {
    return std::hash<std::string_view>()(name.bytes());
  }
};
template <>
struct std::hash<Cfm::MdName> {
  std::size_t operator()(const Cfm::MdName& name) const noexcept {
    return std::hash<std::string_view>()(name.bytes());
  }
};
template <>
struct std::hash<Cfm::MdNameWithFormat> {
  std::size_t operator()(const Cfm::MdNameWithFormat& n) const noexcept {
    return std::hash<Cfm::MdName>()(n.name) * 31 + n.format;
  }
};
template <>
struct std::hash<Cfm::MaNameWithFormat> {
  std::size_t operator()(const Cfm::MaNameWithFormat& n) const noexcept {
    return std::hash<Cfm::MaName>()(n.name) * 31 + n.format;
  }
};
template <>
struct std::hash<Cfm::CfmProfileName> {
  std::size_t operator()(const Cfm::CfmProfileName& name) const noexcept {
    return std::hash<std::string>()(name.stringValue());
  }
};
template <>
struct std::hash<Cfm::CcmTxInterval> {
  std::size_t operator()(Cfm::CcmTxInterval interval) const noexcept {
    return std::hash<double>()(interval.value());
  }
};
