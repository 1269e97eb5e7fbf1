// Linktrace PDUs and TLVs built in place over a used transmit buffer, the LTR flag bits,
// and the port ID that only the TLV length bounds.

#include <gtest/gtest.h>

#include <array>
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

TEST(LinktracePdu, InPlaceConstructionZeroesExactlyTheFixedPart) {
  const std::pair<std::function<void(std::uint8_t*)>, const char*> rows[] = {
      // the overlay's bytes, then the first byte after it
      {[](std::uint8_t* b) { LTMPdu::ltmPduInit(b, 3); },
       "60 05 00 11 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ee"},
      {[](std::uint8_t* b) { LTRPdu::ltrPduInit(b, 3); }, "60 04 00 06 00 00 00 00 00 00 ee"},
      {[](std::uint8_t* b) { LtmEgressIdTlv::ltmEgressTlvInit(b); }, "07 00 08 00 00 00 00 00 00 00 00 ee"},
      {[](std::uint8_t* b) { LtrEgressIdTlv::ltrEgressTlvInit(b); },
       "08 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 ee"},
      {[](std::uint8_t* b) { ReplyIngressTlv::replyIngressTlvInit(b); }, "05 00 07 00 00 00 00 00 00 00 ee"},
      {[](std::uint8_t* b) { ReplyEgressTlv::replyEgressTlvInit(b); }, "06 00 07 00 00 00 00 00 00 00 ee"},
  };
  for (const auto& [init, bytes] : rows) {
    std::array<std::uint8_t, 32> buf;
    buf.fill(0xee);
    init(buf.data());
    const std::string expected = bytes;
    EXPECT_EQ(hex(buf.data(), (expected.size() + 1) / 3), expected);
  }
}

TEST(LinktracePdu, LtrFlagSettersChangeOnlyTheirBit) {
  using Setter = void (LTRPdu::*)(bool);
  for (auto [setter, bit] : {std::pair<Setter, int>{&LTRPdu::useFdbOnlyIs, 0x80}, {&LTRPdu::fwdYesIs, 0x40},
                             {&LTRPdu::terminalMepIs, 0x20}}) {
    LTRPdu ltr(0, Cfm::opCodeLtr);
    (ltr.*setter)(true);
    EXPECT_EQ(ltr.flag(), bit);
    ltr.flagIs(0xff);
    (ltr.*setter)(false);
    EXPECT_EQ(ltr.flag(), 0xff & ~bit);
  }
}

TEST(LinktraceTlv, PortIdSpansTheTlvLengthLessNine) {
  // Reply Egress TLV with a port ID: egress action EgrOK, MAC, port ID length 3, subtype 5
  // (interface name), "Et1", then the first byte of the next TLV.
  std::uint8_t wire[] = {0x06, 0x00, 0x0c, 0x01, 0x00, 0x1c, 0x73, 0x00,
                         0x00, 0x09, 0x03, 0x05, 'E',  't',  '1',  0x03};
  auto* tlv = reinterpret_cast<ReplyEgressTlvPortId*>(wire);
  EXPECT_EQ(tlv->portId(), "Et1");
  tlv->portIdIs("P");
  EXPECT_EQ(hex(wire + 10, 6), "03 05 50 00 00 03");  // rest zeroed, lengths and the next TLV untouched
  EXPECT_EQ(assertionText([&] { tlv->portIdIs("Et10"); }), "s.bytes() <= bufLen");

  // A length below the fixed part's: no port ID to read or write.
  std::uint8_t fixed[sizeof(ReplyTlvPortId)] = {};
  auto* built = new (fixed) ReplyIngressTlvPortId(8);
  const char* tooShort = "length() >= ( sizeof( ReplyTlvPortId ) - sizeof( TypeLength ) )";
  EXPECT_EQ(assertionText([&] { built->portId(); }), tooShort);
  EXPECT_EQ(assertionText([&] { built->portIdIs(""); }), tooShort);
}

}  // namespace
