#include "platform/cfm/LinktraceWire.h"

#include <cstring>
#include <functional>
#include <type_traits>

#include "platform/kiln/Errors.h"

namespace Cfm {

// Layout: each field at its wire offset, checked through the accessors.
static_assert([] {
  LTMPdu p(3, Cfm::opCodeLtm);
  p.useFdbOnlyIs(true);
  p.transactionIdIs(0x01020304);
  p.ttlIs(0x40);
  p.originalMacAddrIs(Lumen::EthAddr(0xa1, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6));
  p.targetMacAddrIs(Lumen::EthAddr(0xb1, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6));
  return wireBytes(p) == std::array<std::uint8_t, 21>{0x60, 5,    0x80, 17,   1,    2,    3,
                                                      4,    0x40, 0xa1, 0xa2, 0xa3, 0xa4, 0xa5,
                                                      0xa6, 0xb1, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6};
}());
static_assert([] {
  LTRPdu p(2, Cfm::opCodeLtr);
  p.terminalMepIs(true);
  p.transactionIdIs(0x01020304);
  p.replyTtlIs(0x3f);
  p.relayActionIs(RelayAction(RelayAction::rlyMpdb));
  return wireBytes(p) == std::array<std::uint8_t, 10>{0x40, 4, 0x20, 6, 1, 2, 3, 4, 0x3f, 3};
}());
static_assert([] {
  LtmEgressIdTlv t;
  t.egressIdIs(EgressId(0x1234, Lumen::EthAddr(1, 2, 3, 4, 5, 6)));
  return wireBytes(t) == std::array<std::uint8_t, 11>{7, 0, 8, 0x12, 0x34, 1, 2, 3, 4, 5, 6};
}());
static_assert([] {
  LtrEgressIdTlv t;
  t.lastEgressIdIs(EgressId(0x0102, Lumen::EthAddr(3, 4, 5, 6, 7, 8)));
  t.nextEgressIdIs(EgressId(0x090a, Lumen::EthAddr(11, 12, 13, 14, 15, 16)));
  return wireBytes(t) == std::array<std::uint8_t, 19>{8, 0, 16, 1,  2,  3,  4,  5,  6, 7,
                                                      8, 9, 10, 11, 12, 13, 14, 15, 16};
}());
static_assert([] {
  ReplyEgressTlvPortId t(11);
  t.actionIs(Action(Action::egrBlocked));
  t.macAddrIs(Lumen::EthAddr(1, 2, 3, 4, 5, 6));
  t.portIdLengthIs(3);
  t.portIdSubtypeIs(5);
  return wireBytes(t) == std::array<std::uint8_t, 12>{6, 0, 11, 3, 1, 2, 3, 4, 5, 6, 3, 5};
}());
// Nothing keys on an egress id; hashing one does not compile.
static_assert(!std::is_default_constructible_v<std::hash<EgressId>>);

void RelayAction::throwRange() {
  throw Kiln::RangeException(
      "RelayAction::value < RelayAction::invalid or > RelayAction::max not allowed");
}

std::string RelayAction::stringValue() const { return std::to_string(value()); }

RelayAction RelayAction::parse(std::string_view text) {
  return RelayAction(parseU8("RelayAction", text));
}

std::ostream& operator<<(std::ostream& os, RelayAction action) {
  return os << action.stringValue();
}

void Action::throwRange() {
  throw Kiln::RangeException("Action::value < Action::invalid or > Action::max not allowed");
}

std::string Action::stringValue() const { return std::to_string(value()); }

Action Action::parse(std::string_view text) { return Action(parseU8("Action", text)); }

std::ostream& operator<<(std::ostream& os, Action action) { return os << action.stringValue(); }

std::string EgressId::stringValue() const {
  return "Value('CfmAgent::EgressId', ** {'discriminator': " + std::to_string(discriminator()) +
         ", 'mpMacAddr': " + mpMacAddr().stringValue() + "})";
}

EgressId EgressId::parse(std::string_view text) {
  TextReader reader("EgressId", text);
  reader.expect("Value('CfmAgent::EgressId', ** {");
  reader.expect("'discriminator': ");
  const auto discriminator = std::uint16_t(reader.readUnsigned("discriminator", 0xffff));
  reader.expect(", 'mpMacAddr': ");
  const Lumen::EthAddr mpMacAddr = reader.readEthAddr("mpMacAddr");
  reader.expect("})");
  reader.expectEnd();
  return EgressId(discriminator, mpMacAddr);
}

std::ostream& operator<<(std::ostream& os, const EgressId& id) { return os << id.stringValue(); }

std::size_t ReplyTlvPortId::portIdBytes() const {
  KILN_ASSERT_TEXT(length() >= sizeof(ReplyTlvPortId) - sizeof(TypeLength),
                   "length() >= ( sizeof( ReplyTlvPortId ) - sizeof( TypeLength ) )");
  return length() - (sizeof(ReplyTlvPortId) - sizeof(TypeLength));
}

std::string ReplyTlvPortId::portId() const {
  const std::size_t bytes = portIdBytes();
  return std::string(reinterpret_cast<const char*>(this) + sizeof(ReplyTlvPortId), bytes);
}

void ReplyTlvPortId::portIdIs(std::string_view s) {
  const std::size_t bufLen = portIdBytes();
  KILN_ASSERT_TEXT(s.size() <= bufLen, "s.bytes() <= bufLen");
  auto* buf = reinterpret_cast<std::uint8_t*>(this) + sizeof(ReplyTlvPortId);
  if (!s.empty()) std::memcpy(buf, s.data(), s.size());
  std::memset(buf + s.size(), 0, bufLen - s.size());
}

}  // namespace Cfm
