#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "CfmAgent/LinktracePdu.h"
#include "PduTestUtil.h"

namespace {

using namespace CfmAgent;
using Lumen::EthAddr;
using PduTest::assertionText;
using PduTest::hex;
using PduTest::rangeError;

// A transmit buffer: 0xee everywhere, so that bytes an init leaves alone show.
std::array<std::uint8_t, 32> dirtyBuffer() {
  std::array<std::uint8_t, 32> buf;
  buf.fill(0xee);
  return buf;
}

TEST(LinktracePdu, InPlaceConstructionZeroesExactlyTheFixedPart) {
  struct Case {
    const char* name;
    std::function<void(std::uint8_t*)> init;
    const char* bytes;  // the overlay's bytes, then the first byte after it
  };
  const Case cases[] = {
      {"ltmPduInit", [](std::uint8_t* b) { LTMPdu::ltmPduInit(b, 3); },
       "60 05 00 11 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ee"},
      {"ltrPduInit", [](std::uint8_t* b) { LTRPdu::ltrPduInit(b, 3); },
       "60 04 00 06 00 00 00 00 00 00 ee"},
      {"ltmEgressTlvInit", [](std::uint8_t* b) { LtmEgressIdTlv::ltmEgressTlvInit(b); },
       "07 00 08 00 00 00 00 00 00 00 00 ee"},
      {"ltrEgressTlvInit", [](std::uint8_t* b) { LtrEgressIdTlv::ltrEgressTlvInit(b); },
       "08 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ee"},
      {"replyIngressTlvInit", [](std::uint8_t* b) { ReplyIngressTlv::replyIngressTlvInit(b); },
       "05 00 07 00 00 00 00 00 00 00 ee"},
      {"replyEgressTlvInit", [](std::uint8_t* b) { ReplyEgressTlv::replyEgressTlvInit(b); },
       "06 00 07 00 00 00 00 00 00 00 ee"},
  };
  for (const Case& c : cases) {
    auto buf = dirtyBuffer();
    c.init(buf.data());
    const std::string expected = c.bytes;
    EXPECT_EQ(hex(buf.data(), (expected.size() + 1) / 3), expected) << c.name;
  }
}

TEST(LinktracePdu, ReadsReceivedLtm) {
  const std::uint8_t wire[] = {
      0x80, 0x05, 0xc1, 0x11,              // level 4, LTM, UseFDBonly + reserved 0x41, 17
      0x01, 0x02, 0x03, 0x04,              // transaction id
      0x3f,                                // TTL
      0x00, 0x1c, 0x73, 0x00, 0x00, 0x01,  // original MAC
      0x00, 0x1c, 0x73, 0x00, 0x00, 0x02,  // target MAC
  };
  const auto* ltm = reinterpret_cast<const LTMPdu*>(wire);
  EXPECT_EQ(ltm->mdLevel(), 4);
  EXPECT_TRUE(ltm->useFdbOnly());
  EXPECT_EQ(ltm->reserved(), 0x41);
  EXPECT_EQ(ltm->transactionId(), 0x01020304u);
  EXPECT_EQ(ltm->ttl(), 0x3f);
  EXPECT_EQ(ltm->originalMacAddr(), EthAddr(0x00, 0x1c, 0x73, 0x00, 0x00, 0x01));
  EXPECT_EQ(ltm->targetMacAddr(), EthAddr(0x00, 0x1c, 0x73, 0x00, 0x00, 0x02));
}

TEST(LinktracePdu, ReadsReceivedLtr) {
  const std::uint8_t wire[] = {
      0x20, 0x04, 0xb5, 0x06,  // level 1, LTR, UseFDBonly + TerminalMEP + reserved 0x15, 6
      0xff, 0x00, 0x00, 0x01,  // transaction id
      0x02,                    // reply TTL
      0x02,                    // relay action: RlyFDB
  };
  const auto* ltr = reinterpret_cast<const LTRPdu*>(wire);
  EXPECT_TRUE(ltr->useFdbOnly());
  EXPECT_FALSE(ltr->fwdYes());
  EXPECT_TRUE(ltr->terminalMep());
  EXPECT_EQ(ltr->reserved(), 0x15);
  EXPECT_EQ(ltr->transactionId(), 0xff000001u);
  EXPECT_EQ(ltr->replyTtl(), 2);
  EXPECT_EQ(ltr->relayAction(), RelayAction(RelayAction::rlyFdb));
}

TEST(LinktracePdu, LtrFlagSettersChangeOnlyTheirBit) {
  using Setter = void (LTRPdu::*)(bool);
  const std::pair<Setter, std::uint8_t> bits[] = {
      {&LTRPdu::useFdbOnlyIs, 0x80}, {&LTRPdu::fwdYesIs, 0x40}, {&LTRPdu::terminalMepIs, 0x20}};
  for (const auto& [setter, bit] : bits) {
    for (std::uint8_t before : {0x00, 0xff, 0x9f}) {
      LTRPdu ltr(0, Cfm::opCodeLtr);
      ltr.flagIs(before);
      (ltr.*setter)(true);
      EXPECT_EQ(ltr.flag(), before | bit);
      (ltr.*setter)(false);
      EXPECT_EQ(ltr.flag(), before & ~bit);
    }
  }
  LTRPdu ltr(0, Cfm::opCodeLtr);
  ltr.flagIs(0x9f);
  ltr.fwdYesIs(true);
  EXPECT_EQ(ltr.flag(), 0xdf);
  EXPECT_FALSE(ltr.terminalMep());
  EXPECT_EQ(ltr.reserved(), 0x1f);
}

TEST(LinktraceTlv, EgressIdsAndReplyFieldsLandAtTheirOffsets) {
  auto buf = dirtyBuffer();
  LtrEgressIdTlv* ltr = LtrEgressIdTlv::ltrEgressTlvInit(buf.data());
  ltr->lastEgressIdIs(EgressId(0x1234, EthAddr(0x00, 0x1c, 0x73, 0xaa, 0xbb, 0xcc)));
  ltr->nextEgressIdIs(EgressId(0xfffe, EthAddr(0x02, 0, 0, 0, 0, 0x01)));
  EXPECT_EQ(hex(buf.data(), 20), "08 00 10 12 34 00 1c 73 aa bb cc ff fe 02 00 00 00 00 01 ee");
  EXPECT_EQ(ltr->nextEgressId().discriminator(), 0xfffe);
  const EgressId last = ltr->lastEgressId();

  buf = dirtyBuffer();
  LtmEgressIdTlv* ltm = LtmEgressIdTlv::ltmEgressTlvInit(buf.data());
  ltm->egressIdIs(last);
  EXPECT_EQ(hex(buf.data(), 12), "07 00 08 12 34 00 1c 73 aa bb cc ee");

  buf = dirtyBuffer();
  ReplyIngressTlv* ingress = ReplyIngressTlv::replyIngressTlvInit(buf.data());
  ingress->actionIs(Action(Action::ingBlocked));
  ingress->macAddrIs(EthAddr(0x00, 0x1c, 0x73, 0x01, 0x02, 0x03));
  EXPECT_EQ(hex(buf.data(), 11), "05 00 07 03 00 1c 73 01 02 03 ee");
  EXPECT_EQ(ingress->action(), Action(Action::ingBlocked));
}

TEST(LinktraceTlv, PortIdSpansTheTlvLengthLessNine) {
  // Reply Egress TLV with a port ID: egress action EgrOK, MAC, port ID length 3, subtype 5
  // (interface name), "Et1", then the first byte of the next TLV.
  std::uint8_t wire[] = {0x06, 0x00, 0x0c, 0x01, 0x00, 0x1c, 0x73, 0x00,
                         0x00, 0x09, 0x03, 0x05, 'E',  't',  '1',  0x03};
  auto* tlv = reinterpret_cast<ReplyEgressTlvPortId*>(wire);
  EXPECT_EQ(tlv->action(), Action(Action::egrOk));
  EXPECT_EQ(tlv->macAddr(), EthAddr(0x00, 0x1c, 0x73, 0x00, 0x00, 0x09));
  EXPECT_EQ(tlv->portIdLength(), 3);
  EXPECT_EQ(tlv->portIdSubtype(), 5);
  EXPECT_EQ(tlv->portId(), "Et1");
  tlv->portIdIs("P");
  EXPECT_EQ(hex(wire + 12, 4), "50 00 00 03");  // rest zeroed, the next TLV untouched
  EXPECT_EQ(tlv->portIdLength(), 3);
  EXPECT_EQ(tlv->length(), 12);
  EXPECT_EQ(assertionText([&] { tlv->portIdIs("Et10"); }), "s.bytes() <= bufLen");

  std::uint8_t fixed[sizeof(ReplyTlvPortId)] = {};
  auto* built = new (fixed) ReplyIngressTlvPortId(9);
  EXPECT_EQ(hex(fixed, 3), "05 00 09");
  EXPECT_EQ(built->portId(), "");
  built->lengthIs(8);
  EXPECT_EQ(assertionText([&] { built->portId(); }),
            "length() >= ( sizeof( ReplyTlvPortId ) - sizeof( TypeLength ) )");
  EXPECT_EQ(assertionText([&] { built->portIdIs(""); }),
            "length() >= ( sizeof( ReplyTlvPortId ) - sizeof( TypeLength ) )");
}

TEST(LinktraceTextForms, EgressIdRoundTrips) {
  const EgressId id(0x1234, EthAddr(0x00, 0x1c, 0x73, 0xaa, 0xbb, 0xcc));
  const std::string text =
      "Value('CfmAgent::EgressId', ** {'discriminator': 4660, 'mpMacAddr': 00:1c:73:aa:bb:cc})";
  EXPECT_EQ(id.stringValue(), text);
  EXPECT_EQ(EgressId::parse(text), id);
  EXPECT_EQ(EgressId::parse(EgressId().stringValue()), EgressId());
  EXPECT_NE(EgressId(1, EthAddr()), EgressId(2, EthAddr()));
  EXPECT_NE(EgressId(1, EthAddr()), EgressId(1, EthAddr(0, 0, 0, 0, 0, 1)));

  struct Bad {
    const char* text;
    const char* error;
  };
  const Bad bad[] = {
      {"Value('CfmAgent::EgressId', ** {'discriminator': 4660, 'mpMacAddr': 00:1c:73:aa:bb:zz})",
       "Invalid EgressId::mpMacAddr '00:1c:73:aa:bb:zz'"},
      {"Value('CfmAgent::EgressId', ** {'discriminator': 4660, 'mpMacAddr': 00:1c})",
       "Invalid EgressId::mpMacAddr '00:1c})'"},
      {"Value('CfmAgent::EgressId', ** {'discriminator': 65536, 'mpMacAddr': 00:1c:73:aa:bb:cc})",
       "Invalid EgressId::discriminator '65536'"},
      {"Value('CfmAgent::EgressId', ** {'discriminator': 1, 'mpMacAddr': 00:1c:73:aa:bb:cc}",
       "Invalid EgressId text 'Value('CfmAgent::EgressId', ** {'discriminator': 1, 'mpMacAddr': "
       "00:1c:73:aa:bb:cc}'"},
      {"Value('CfmAgent::EgressId', ** {'mpMacAddr': 00:1c:73:aa:bb:cc})",
       "Invalid EgressId text 'Value('CfmAgent::EgressId', ** {'mpMacAddr': 00:1c:73:aa:bb:cc})'"},
  };
  for (const Bad& b : bad) EXPECT_EQ(rangeError([&] { EgressId::parse(b.text); }), b.error);
}

TEST(LinktraceTextForms, ActionsParseWithinTheirRange) {
  for (std::uint8_t v = 0; v <= 3; ++v) {
    EXPECT_EQ(RelayAction::parse(RelayAction(v).stringValue()).value(), v);
  }
  for (std::uint8_t v = 0; v <= 4; ++v) {
    EXPECT_EQ(Action::parse(Action(v).stringValue()).value(), v);
  }
  const char* relayError =
      "RelayAction::value < RelayAction::invalid or > RelayAction::max not allowed";
  const char* actionError = "Action::value < Action::invalid or > Action::max not allowed";
  EXPECT_EQ(rangeError([] { RelayAction::parse("4"); }), relayError);
  EXPECT_EQ(rangeError([] { (void)RelayAction(255); }), relayError);
  EXPECT_EQ(rangeError([] { Action::parse("5"); }), actionError);
  EXPECT_EQ(rangeError([] { Action::parse("x"); }), "Invalid Action::value 'x'");
  EXPECT_EQ(rangeError([] { RelayAction::parse("256"); }), "Invalid RelayAction::value '256'");
}

}  // namespace
