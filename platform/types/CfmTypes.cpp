#include "platform/types/CfmTypes.h"

#include <cmath>
#include <utility>

#include "platform/cfm/L2.h"
#include "platform/kiln/Errors.h"

namespace Cfm {

namespace {

// Named enumerators print as their name; a byte read from a frame that has no name
// prints as its number, so that traces still say what arrived.
template <class E, std::size_t N>
std::string enumText(E value, const std::pair<E, const char*> (&names)[N]) {
  for (const auto& [e, name] : names) {
    if (e == value) return name;
  }
  return std::to_string(unsigned(value));
}

}  // namespace

void MdLevel::throwRange() {
  throw Kiln::RangeException("MdLevel::value < MdLevel::min or > MdLevel::invalid not allowed");
}

std::ostream& operator<<(std::ostream& os, MdLevel level) { return os << unsigned(level.value()); }

MepId::MepId(std::uint16_t value) : value_(value) {
  if (value < min || value > max) {
    throw Kiln::RangeException("MepId::value < MepId::min or > MepId::max not allowed");
  }
}

std::ostream& operator<<(std::ostream& os, MepId id) { return os << id.value(); }

MaName::MaName(std::string_view bytes) {
  if (!assign(bytes)) throw Kiln::RangeException("MaName::bytes > 45 not allowed");
}

std::ostream& operator<<(std::ostream& os, const MaName& name) { return os << name.bytes(); }

MdName::MdName(std::string_view bytes) {
  if (!assign(bytes)) throw Kiln::RangeException("MdName::bytes > 43 not allowed");
}

std::ostream& operator<<(std::ostream& os, const MdName& name) { return os << name.bytes(); }

std::string stringValue(MdNameFormat format) {
  static const std::pair<MdNameFormat, const char*> names[] = {
      {mdNameFormatNone, "mdNameFormatNone"},
      {mdNameFormatDnsLikeName, "mdNameFormatDnsLikeName"},
      {mdNameFormatMacAddressAndUint, "mdNameFormatMacAddressAndUint"},
      {mdNameFormatCharacterString, "mdNameFormatCharacterString"},
  };
  return enumText(format, names);
}

std::ostream& operator<<(std::ostream& os, MdNameFormat format) {
  return os << stringValue(format);
}

std::string stringValue(MaNameFormat format) {
  static const std::pair<MaNameFormat, const char*> names[] = {
      {maNameFormatPrimaryVid, "maNameFormatPrimaryVid"},
      {maNameFormatCharacterString, "maNameFormatCharacterString"},
      {maNameFormatUint16, "maNameFormatUint16"},
      {maNameFormatRfc2685VpnId, "maNameFormatRfc2685VpnId"},
      {maNameFormatIccBased, "maNameFormatIccBased"},
  };
  return enumText(format, names);
}

std::ostream& operator<<(std::ostream& os, MaNameFormat format) {
  return os << stringValue(format);
}

std::ostream& operator<<(std::ostream& os, const MdNameWithFormat& name) {
  return os << name.name << " (" << name.format << ")";
}

std::ostream& operator<<(std::ostream& os, const MaNameWithFormat& name) {
  return os << name.name << " (" << name.format << ")";
}

std::string stringValue(OpCode op) {
  static const std::pair<OpCode, const char*> names[] = {
      {opCodeNone, "opCodeNone"}, {opCodeCcm, "opCodeCcm"}, {opCodeLbr, "opCodeLbr"},
      {opCodeLbm, "opCodeLbm"},   {opCodeLtr, "opCodeLtr"}, {opCodeLtm, "opCodeLtm"},
  };
  return enumText(op, names);
}

std::ostream& operator<<(std::ostream& os, OpCode op) { return os << stringValue(op); }

std::string stringValue(Protocol protocol) {
  static const std::pair<Protocol, const char*> names[] = {
      {protocolContinuityCheck, "protocolContinuityCheck"},
      {protocolLoopback, "protocolLoopback"},
      {protocolLinktrace, "protocolLinktrace"},
  };
  return enumText(protocol, names);
}

std::ostream& operator<<(std::ostream& os, Protocol protocol) {
  return os << stringValue(protocol);
}

std::ostream& operator<<(std::ostream& os, const CfmProfileName& name) {
  return os << name.stringValue();
}

std::uint8_t ccmIntervalCode(CcmTxInterval interval) {
  const double seconds = interval.value();
  if (!(seconds > 0)) return 1;
  auto distance = [seconds](CcmTxInterval period) {
    return std::abs(std::log(seconds / period.value()));
  };
  std::size_t best = 0;
  for (std::size_t i = 1; i < ccmTxIntervals.size(); ++i) {
    if (distance(ccmTxIntervals[i]) < distance(ccmTxIntervals[best])) best = i;
  }
  return std::uint8_t(best + 1);
}

std::ostream& operator<<(std::ostream& os, CcmTxInterval interval) {
  return os << interval.value();
}

std::string stringValue(MepDirection direction) {
  static const std::pair<MepDirection, const char*> names[] = {
      {mepDirectionDown, "mepDirectionDown"},
      {mepDirectionUp, "mepDirectionUp"},
  };
  return enumText(direction, names);
}

std::ostream& operator<<(std::ostream& os, MepDirection direction) {
  return os << stringValue(direction);
}

CfmMulticastEthAddr::CfmMulticastEthAddr(const Lumen::EthAddr& addr) {
  const auto groupClass = groupClassOf(addr.bytes());
  if (!groupClass) return;
  mdLevel_ = MdLevel(addr[5] & 0x07);
  opCode_ = groupClass == GroupClass::ltm ? opCodeLtm : opCodeCcm;
}

}  // namespace Cfm
