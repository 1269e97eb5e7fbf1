// The common header's bit fields and range checks, its text forms, and the accessors over
// a packet that must not reach past it. Field offsets are pinned at compile time beside
// the overlays and against tshark in PduTsharkTest.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>

#include "CfmAgent/CfmPdu.h"
#include "CfmAgent/LinktracePdu.h"
#include "CfmAgent/LoopbackPdu.h"
#include "PduTestUtil.h"
#include "platform/lumen/Pkt.h"

namespace {

using namespace CfmAgent;
using PduTest::assertionText;
using PduTest::hex;
using PduTest::rangeError;

constexpr const char* opCodeRangeError =
    "CFMCommonHeader::opCode < CFMCommonHeader::opCodeMin or > CFMCommonHeader::opCodeMax not allowed";

TEST(CfmCommonHeader, OnlyTheLowLevelBitsLandAndOpCodesOutsideOneToFiveAreRefused) {
  EXPECT_EQ(hex(wireBytes(CFMCommonHeader(7, 3))), "e0 03 00 00");
  EXPECT_EQ(hex(wireBytes(CFMCommonHeader(9, 2))), "20 02 00 00");
  for (std::uint8_t op : {0, 6, 255}) {
    SCOPED_TRACE(int(op));
    EXPECT_EQ(rangeError([=] { (void)CFMCommonHeader(3, op); }), opCodeRangeError);
    CFMCommonHeader h(3, Cfm::opCodeLtm);
    EXPECT_EQ(rangeError([&] { h.opCodeIs(op); }), opCodeRangeError);
  }
  CFMCommonHeader h(3, Cfm::opCodeLtm);
  EXPECT_EQ(rangeError([&] { h.opCodeIs(5); }), "");  // the stored value again
}

TEST(CfmCommonHeader, LevelAndVersionSettersKeepTheOtherBits) {
  struct Row { std::uint8_t before; bool level; std::uint8_t arg, after; };  // level, else version
  const Row rows[] = {
      {0x1f, true, 7, 0xff},     {0xff, false, 0, 0xe0},    {0xa5, true, 0, 0x05},
      {0xa5, true, 0x0a, 0x45},  {0xa5, false, 0x3f, 0xbf}, {0x00, false, 0x20, 0x00},  // low bits only
  };
  for (const Row& r : rows) {
    CFMCommonHeader header(0, Cfm::opCodeCcm);
    header.mdLevelFieldIs(MdLevelVersion(r.before));
    r.level ? header.mdLevelIs(r.arg) : header.versionIs(r.arg);
    EXPECT_EQ(wireBytes(header)[0], r.after) << int(r.before) << " " << int(r.arg);
  }
}

TEST(CfmCommonHeader, LeastFirstTlvOffsetOfEachOpCode) {
  const std::uint8_t expected[] = {0, 70, 4, 4, 6, 17};
  for (std::uint8_t op = 0; op <= 5; ++op) EXPECT_EQ(minFirstTlvOffset(op), expected[op]) << int(op);
  EXPECT_EQ(assertionText([] { minFirstTlvOffset(6); }), "opCode <= CFMCommonHeader::opCodeMax");
}

// The PDU value types read back what they write, and name what they cannot read.
TEST(PduTextForms, ValuesRoundTripAndBadTextIsNamed) {
  for (unsigned v = 0; v < 256; ++v) EXPECT_EQ(TlvTypeInstance(stringValue(TlvTypeInstance(std::uint8_t(v)))), v);
  for (std::uint8_t v = 0; v <= 3; ++v) EXPECT_EQ(RelayAction::parse(RelayAction(v).stringValue()).value(), v);
  for (std::uint8_t v = 0; v <= 4; ++v) EXPECT_EQ(Action::parse(Action(v).stringValue()).value(), v);
  EXPECT_EQ(stringValue(TlvType(31)), "tlvTypeOrganizationSpecific");
  EXPECT_EQ(MdLevelVersion::parse("255"), MdLevelVersion(0xe0));  // we only speak version 0
  EXPECT_EQ(FirstTlvOffset::parse(FirstTlvOffset(70).stringValue()), FirstTlvOffset(70));
  const EgressId id(0x1234, Lumen::EthAddr(0x00, 0x1c, 0x73, 0xaa, 0xbb, 0xcc));
  const std::string egressId = "Value('CfmAgent::EgressId', ** {'discriminator': 4660, 'mpMacAddr': ";
  EXPECT_EQ(id.stringValue(), egressId + "00:1c:73:aa:bb:cc})");
  EXPECT_EQ(EgressId::parse(id.stringValue()), id);
  const std::pair<std::function<void()>, std::string> bad[] = {
      {[] { MdLevelVersion::parse("99999999999999999999999"); },
       "Invalid MdLevelVersion::value '99999999999999999999999'"},
      {[] { MdLevelVersion::parse(""); }, "Invalid MdLevelVersion::value ''"},
      {[] { MdLevelVersion::parse("12x"); }, "Invalid MdLevelVersion text '12x'"},
      {[] { FirstTlvOffset::parse("256"); }, "Invalid FirstTlvOffset::value '256'"},
      {[] { TlvTypeInstance("tlvTypeFoo"); }, "Invalid TlvType text 'tlvTypeFoo'"},
      {[] { TlvTypeInstance("300"); }, "Invalid TlvType::value '300'"},
      {[] { RelayAction::parse("4"); }, "RelayAction::value < RelayAction::invalid or > RelayAction::max not allowed"},
      {[] { Action::parse("x"); }, "Invalid Action::value 'x'"},
      {[&] { EgressId::parse(egressId + "00:1c:73:aa:bb:zz})"); }, "Invalid EgressId::mpMacAddr '00:1c:73:aa:bb:zz'"},
      {[&] { EgressId::parse(egressId + "00:1c:73:aa:bb:cc}"); }, "Invalid EgressId text '" + egressId + "00:1c:73:aa:bb:cc}'"},
  };
  for (const auto& [parse, error] : bad) EXPECT_EQ(rangeError(parse), error);
}

// A packet holding `bytes` bytes 0, 1, 2, ... in a heap block of its own size.
Kiln::Ptr<Lumen::Pkt> countingPkt(std::size_t bytes) {
  std::string data(bytes, '\0');
  for (std::size_t i = 0; i < bytes; ++i) data[i] = char(i);
  auto pkt = Lumen::pktManager().newPkt();
  pkt->bytesIs({reinterpret_cast<const std::uint8_t*>(data.data()), bytes}, false, false);
  return pkt;
}

TEST(CfmWrappers, RefuseOffsetsWhoseFixedPartLeavesThePacket) {
  struct Row { std::size_t pktBytes; std::uint32_t offset; bool headerFits, lbmFits; };
  const Row rows[] = {
      {4, 0, true, false},    {8, 0, true, true},    {7, 0, true, false},
      {22, 14, true, true},   {21, 14, true, false}, {18, 14, true, false},
      {17, 14, false, false}, {0, 0, false, false},  {8, 0xfffffffc, false, false},  // no wrap-around
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << r.pktBytes << " " << r.offset);
    auto pkt = countingPkt(r.pktBytes);
    Kiln::Ptr<CFMCommonHeaderWrapper> header;
    EXPECT_EQ(assertionText([&] { header = cFMCommonHeaderWrapperFactory(pkt, r.offset); }),
              r.headerFits ? "" : "( offset_ + sizeof( CFMCommonHeader ) ) <= pkt_->frontBytes()");
    Kiln::Ptr<LBMPduWrapper> lbm;
    EXPECT_EQ(assertionText([&] { lbm = lBMPduWrapperFactory(pkt, r.offset); }),
              r.lbmFits ? "" : "( offset_ + sizeof( LBMPdu ) ) <= pkt_->frontBytes()");
    if (header) {
      EXPECT_EQ(header->opCode(), r.offset + 1);
    }
    if (lbm) {
      const std::uint32_t o = r.offset;
      EXPECT_EQ(lbm->header()->transactionId(), (o + 4) << 24 | (o + 5) << 16 | (o + 6) << 8 | (o + 7));
    }
  }
  // The header wrapper writes through to the packet's first header byte and no other.
  auto pkt = countingPkt(20);
  auto w = cFMCommonHeaderWrapperFactory(pkt, 14);  // bytes 0e 0f 10 11
  w->mdLevelIs(6);
  w->versionIs(1);
  EXPECT_EQ(hex(pkt->bytes().subspan(13, 4)), "0d c1 0f 10");
}

}  // namespace
