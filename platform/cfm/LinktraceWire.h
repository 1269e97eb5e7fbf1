#pragma once
// The Linktrace Message and Reply (IEEE 802.1ag clause 21.8, 21.9), the linktrace TLVs
// and the values they carry.
//
// All are packed overlays. The linktrace engines lay them over received bytes, or build
// them in place in a transmit buffer with the *Init functions, which take the buffer's
// first byte and return the constructed overlay.

#include <cstdint>
#include <new>
#include <ostream>
#include <string>
#include <string_view>

#include "platform/cfm/Wire.h"
#include "platform/lumen/Eth.h"

namespace Cfm {

#pragma pack(push, 1)

// What a linktrace responder did to find the egress port (LTR Relay Action).
class RelayAction {
 public:
  static constexpr std::uint8_t invalid = 0;
  static constexpr std::uint8_t rlyHit = 1;
  static constexpr std::uint8_t rlyFdb = 2;
  static constexpr std::uint8_t rlyMpdb = 3;
  static constexpr std::uint8_t min = 1;
  static constexpr std::uint8_t max = 3;

  constexpr RelayAction() = default;
  // Above 3: "RelayAction::value < RelayAction::invalid or > RelayAction::max not allowed".
  constexpr explicit RelayAction(std::uint8_t value) : value_(value) {
    if (value > max) throwRange();
  }
  constexpr std::uint8_t value() const { return value_.value(); }
  constexpr bool operator==(const RelayAction&) const = default;

  // The decimal value of the byte.
  std::string stringValue() const;
  static RelayAction parse(std::string_view text);

 private:
  [[noreturn]] static void throwRange();
  Lumen::NetU8 value_;
};
std::ostream& operator<<(std::ostream& os, RelayAction action);

// The ingress action of a Reply Ingress TLV or the egress action of a Reply Egress TLV:
// the same codes under two sets of names.
class Action {
 public:
  static constexpr std::uint8_t invalid = 0;
  static constexpr std::uint8_t min = 1;
  static constexpr std::uint8_t max = 4;
  static constexpr std::uint8_t ingOk = 1;
  static constexpr std::uint8_t ingDown = 2;
  static constexpr std::uint8_t ingBlocked = 3;
  static constexpr std::uint8_t ingVid = 4;
  static constexpr std::uint8_t egrOk = 1;
  static constexpr std::uint8_t egrDown = 2;
  static constexpr std::uint8_t egrBlocked = 3;
  static constexpr std::uint8_t egrVid = 4;

  constexpr Action() = default;
  // Above 4: "Action::value < Action::invalid or > Action::max not allowed".
  constexpr explicit Action(std::uint8_t value) : value_(value) {
    if (value > max) throwRange();
  }
  constexpr std::uint8_t value() const { return value_.value(); }
  constexpr bool operator==(const Action&) const = default;

  std::string stringValue() const;
  static Action parse(std::string_view text);

 private:
  [[noreturn]] static void throwRange();
  Lumen::NetU8 value_;
};
std::ostream& operator<<(std::ostream& os, Action action);

// An Egress Identifier: a discriminator, then the MAC address of the maintenance point.
// Deliberately not hashable: nothing keys on it, and std::hash<EgressId> stays disabled.
class EgressId {
 public:
  constexpr EgressId() = default;
  constexpr EgressId(std::uint16_t discriminator, const Lumen::EthAddr& mpMacAddr)
      : discriminator_(discriminator), mpMacAddr_(mpMacAddr) {}

  constexpr std::uint16_t discriminator() const { return discriminator_.value(); }
  constexpr Lumen::EthAddr mpMacAddr() const { return mpMacAddr_; }
  constexpr bool operator==(const EgressId&) const = default;

  // "Value('CfmAgent::EgressId', ** {'discriminator': 4660, 'mpMacAddr': 00:1c:73:00:00:01})"
  std::string stringValue() const;
  // Reads the form stringValue writes; a bad MAC address raises
  // "Invalid EgressId::mpMacAddr '<text>'", any other departure
  // "Invalid EgressId text '<text>'".
  static EgressId parse(std::string_view text);

 private:
  Lumen::NetU16 discriminator_;
  Lumen::EthAddr mpMacAddr_;
};
std::ostream& operator<<(std::ostream& os, const EgressId& id);

class LTMPdu : public CFMCommonHeader {
 public:
  // Flags 0, first TLV offset 17, bytes 4-20 zero.
  constexpr LTMPdu(std::uint8_t mdLevel, std::uint8_t opCode) : CFMCommonHeader(mdLevel, opCode) {
    firstTlvOffsetIs(FirstTlvOffset::firstTlvOffsetLtm);
  }
  // An LTM built in place at `buf`, which holds at least 21 bytes.
  static LTMPdu* ltmPduInit(std::uint8_t* buf, std::uint8_t mdLevel) {
    return new (buf) LTMPdu(mdLevel, Cfm::opCodeLtm);
  }

  // Flags: bit 7 UseFDBonly, bits 6-0 reserved.
  constexpr bool useFdbOnly() const { return flag() & Flags::useFdbOnly; }
  constexpr void useFdbOnlyIs(bool on) { flagIs(withFlag(flag(), Flags::useFdbOnly, on)); }
  constexpr std::uint8_t reserved() const { return flag() & ~Flags::useFdbOnly; }

  constexpr std::uint32_t transactionId() const { return transactionId_.value(); }
  constexpr void transactionIdIs(std::uint32_t id) { transactionId_.valueIs(id); }
  constexpr std::uint8_t ttl() const { return ttl_.value(); }
  constexpr void ttlIs(std::uint8_t ttl) { ttl_.valueIs(ttl); }
  constexpr Lumen::EthAddr originalMacAddr() const { return originalMacAddr_; }
  constexpr void originalMacAddrIs(const Lumen::EthAddr& addr) { originalMacAddr_ = addr; }
  constexpr Lumen::EthAddr targetMacAddr() const { return targetMacAddr_; }
  constexpr void targetMacAddrIs(const Lumen::EthAddr& addr) { targetMacAddr_ = addr; }

 private:
  Lumen::NetU32 transactionId_;
  Lumen::NetU8 ttl_;
  Lumen::EthAddr originalMacAddr_;
  Lumen::EthAddr targetMacAddr_;
};

class LTRPdu : public CFMCommonHeader {
 public:
  // Flags 0, first TLV offset 6, bytes 4-9 zero.
  constexpr LTRPdu(std::uint8_t mdLevel, std::uint8_t opCode) : CFMCommonHeader(mdLevel, opCode) {
    firstTlvOffsetIs(FirstTlvOffset::firstTlvOffsetLtr);
  }
  // An LTR built in place at `buf`, which holds at least 10 bytes.
  static LTRPdu* ltrPduInit(std::uint8_t* buf, std::uint8_t mdLevel) {
    return new (buf) LTRPdu(mdLevel, Cfm::opCodeLtr);
  }

  // Flags: bit 7 UseFDBonly, bit 6 FwdYes, bit 5 TerminalMEP, bits 4-0 reserved.
  constexpr bool useFdbOnly() const { return flag() & Flags::useFdbOnly; }
  constexpr void useFdbOnlyIs(bool on) { flagIs(withFlag(flag(), Flags::useFdbOnly, on)); }
  constexpr bool fwdYes() const { return flag() & Flags::ltrFwdYes; }
  constexpr void fwdYesIs(bool on) { flagIs(withFlag(flag(), Flags::ltrFwdYes, on)); }
  constexpr bool terminalMep() const { return flag() & Flags::ltrTerminalMep; }
  constexpr void terminalMepIs(bool on) { flagIs(withFlag(flag(), Flags::ltrTerminalMep, on)); }
  constexpr std::uint8_t reserved() const {
    return flag() & ~(Flags::useFdbOnly | Flags::ltrFwdYes | Flags::ltrTerminalMep);
  }

  constexpr std::uint32_t transactionId() const { return transactionId_.value(); }
  constexpr void transactionIdIs(std::uint32_t id) { transactionId_.valueIs(id); }
  constexpr std::uint8_t replyTtl() const { return replyTtl_.value(); }
  constexpr void replyTtlIs(std::uint8_t ttl) { replyTtl_.valueIs(ttl); }
  // As received: any byte, unchecked.
  constexpr RelayAction relayAction() const { return relayAction_; }
  constexpr void relayActionIs(RelayAction action) { relayAction_ = action; }

 private:

  Lumen::NetU32 transactionId_;
  Lumen::NetU8 replyTtl_;
  RelayAction relayAction_;
};

class LtmEgressIdTlv : public TypeLength {
 public:
  static constexpr std::uint16_t defaultLength = 8;

  constexpr LtmEgressIdTlv() {
    typeIs(tlvTypeLtmEgressId);
    lengthIs(defaultLength);
  }
  // Built in place at `buf`, which holds at least 11 bytes.
  static LtmEgressIdTlv* ltmEgressTlvInit(std::uint8_t* buf) { return new (buf) LtmEgressIdTlv; }

  constexpr EgressId egressId() const { return egressId_; }
  constexpr void egressIdIs(const EgressId& id) { egressId_ = id; }

 private:
  EgressId egressId_;
};

class LtrEgressIdTlv : public TypeLength {
 public:
  static constexpr std::uint16_t defaultLength = 16;

  constexpr LtrEgressIdTlv() {
    typeIs(tlvTypeLtrEgressId);
    lengthIs(defaultLength);
  }
  // Built in place at `buf`, which holds at least 19 bytes.
  static LtrEgressIdTlv* ltrEgressTlvInit(std::uint8_t* buf) { return new (buf) LtrEgressIdTlv; }

  constexpr EgressId lastEgressId() const { return lastEgressId_; }
  constexpr void lastEgressIdIs(const EgressId& id) { lastEgressId_ = id; }
  constexpr EgressId nextEgressId() const { return nextEgressId_; }
  constexpr void nextEgressIdIs(const EgressId& id) { nextEgressId_ = id; }

 private:
  EgressId lastEgressId_;
  EgressId nextEgressId_;
};

// The part the Reply Ingress and Reply Egress TLVs share; type and length are left 0
// for the subclass.
class ReplyTlv : public TypeLength {
 public:
  constexpr ReplyTlv() = default;

  constexpr Action action() const { return action_; }
  constexpr void actionIs(Action action) { action_ = action; }
  constexpr Lumen::EthAddr macAddr() const { return macAddr_; }
  constexpr void macAddrIs(const Lumen::EthAddr& addr) { macAddr_ = addr; }

 private:
  Action action_;
  Lumen::EthAddr macAddr_;
};

class ReplyIngressTlv : public ReplyTlv {
 public:
  static constexpr std::uint16_t defaultLength = 7;

  constexpr ReplyIngressTlv() {
    typeIs(tlvTypeLtrReplyIngress);
    lengthIs(defaultLength);
  }
  // Built in place at `buf`, which holds at least 10 bytes.
  static ReplyIngressTlv* replyIngressTlvInit(std::uint8_t* buf) {
    return new (buf) ReplyIngressTlv;
  }
};

class ReplyEgressTlv : public ReplyTlv {
 public:
  static constexpr std::uint16_t defaultLength = 7;

  constexpr ReplyEgressTlv() {
    typeIs(tlvTypeLtrReplyEgress);
    lengthIs(defaultLength);
  }
  // Built in place at `buf`, which holds at least 10 bytes.
  static ReplyEgressTlv* replyEgressTlvInit(std::uint8_t* buf) { return new (buf) ReplyEgressTlv; }
};

// A Reply TLV that carries a port ID after its fixed 12 bytes. The TLV length decides how
// many port ID bytes there are (length - 9), not portIdLength: the buffer under the
// overlay must hold them. Neither port ID accessor changes a length.
class ReplyTlvPortId : public ReplyTlv {
 public:
  constexpr ReplyTlvPortId() = default;

  constexpr std::uint8_t portIdLength() const { return portIdLength_.value(); }
  constexpr void portIdLengthIs(std::uint8_t length) { portIdLength_.valueIs(length); }
  constexpr std::uint8_t portIdSubtype() const { return portIdSubtype_.value(); }
  constexpr void portIdSubtypeIs(std::uint8_t subtype) { portIdSubtype_.valueIs(subtype); }

  // The (length - 9) bytes after the fixed part. Requires a length of at least 9:
  // "length() >= ( sizeof( ReplyTlvPortId ) - sizeof( TypeLength ) )".
  std::string portId() const;
  // Copies `s` after the fixed part and zeroes the rest of the (length - 9) bytes, so that
  // nothing stale goes out. Requires `s` to fit: "s.bytes() <= bufLen".
  void portIdIs(std::string_view s);

 private:
  std::size_t portIdBytes() const;

  Lumen::NetU8 portIdLength_;
  Lumen::NetU8 portIdSubtype_;
};

class ReplyIngressTlvPortId : public ReplyTlvPortId {
 public:
  constexpr explicit ReplyIngressTlvPortId(std::uint16_t explicitLength) {
    typeIs(tlvTypeLtrReplyIngress);
    lengthIs(explicitLength);
  }
};

class ReplyEgressTlvPortId : public ReplyTlvPortId {
 public:
  constexpr explicit ReplyEgressTlvPortId(std::uint16_t explicitLength) {
    typeIs(tlvTypeLtrReplyEgress);
    lengthIs(explicitLength);
  }
};

#pragma pack(pop)

static_assert(sizeof(RelayAction) == 1 && sizeof(Action) == 1);
static_assert(sizeof(EgressId) == 8 && alignof(EgressId) == 1);
static_assert(sizeof(LTMPdu) == 21 && alignof(LTMPdu) == 1);
static_assert(sizeof(LTRPdu) == 10 && alignof(LTRPdu) == 1);
// The receive path accepts no LTM or LTR too short for its overlay.
static_assert(sizeof(LTMPdu) == sizeof(CFMCommonHeader) + minFirstTlvOffset(Cfm::opCodeLtm));
static_assert(sizeof(LTRPdu) == sizeof(CFMCommonHeader) + minFirstTlvOffset(Cfm::opCodeLtr));
static_assert(sizeof(LtmEgressIdTlv) == 11 && sizeof(LtrEgressIdTlv) == 19);
static_assert(sizeof(ReplyTlv) == 10 && sizeof(ReplyIngressTlv) == 10 &&
              sizeof(ReplyEgressTlv) == 10);
static_assert(sizeof(ReplyTlvPortId) == 12 && sizeof(ReplyIngressTlvPortId) == 12 &&
              sizeof(ReplyEgressTlvPortId) == 12);

}  // namespace Cfm
