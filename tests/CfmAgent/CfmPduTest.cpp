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

TEST(CfmCommonHeader, LevelAndVersionKeepToTheirBitsAndOpCodesOutsideOneToFiveAreRefused) {
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
  EXPECT_EQ(hex(wireBytes(CFMCommonHeader(9, 2))), "20 02 00 00");
  for (std::uint8_t op : {0, 6, 255}) {
    CFMCommonHeader h(3, Cfm::opCodeLtm);
    EXPECT_EQ(rangeError([=] { (void)CFMCommonHeader(3, op); }), opCodeRangeError) << int(op);
    EXPECT_EQ(rangeError([&] { h.opCodeIs(op); }), opCodeRangeError) << int(op);
    EXPECT_EQ(rangeError([&] { h.opCodeIs(op); }), "") << int(op);  // stored, and not new any more
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
  for (std::uint8_t v = 0; v <= 4; ++v) EXPECT_EQ(Action::parse(Action(v).stringValue()), Action(v));
  EXPECT_EQ(MdLevelVersion::parse("255"), MdLevelVersion(0xe0));  // we only speak version 0
  const EgressId id(7, Lumen::EthAddr(0x00, 0x1c, 0x73, 0xaa, 0xbb, 0xcc));
  EXPECT_EQ(id.stringValue(), "Value('CfmAgent::EgressId', ** {'discriminator': 7, 'mpMacAddr': 00:1c:73:aa:bb:cc})");
  EXPECT_EQ(EgressId::parse(id.stringValue()), id);
  const std::pair<std::function<void()>, std::string> bad[] = {
      {[] { MdLevelVersion::parse("99999999999999999999"); }, "Invalid MdLevelVersion::value '99999999999999999999'"},
      {[] { FirstTlvOffset::parse("12x"); }, "Invalid FirstTlvOffset text '12x'"},
      {[] { TlvTypeInstance("tlvTypeFoo"); }, "Invalid TlvType text 'tlvTypeFoo'"},
      {[] { RelayAction::parse("4"); }, "RelayAction::value < RelayAction::invalid or > RelayAction::max not allowed"},
      {[&] { EgressId::parse(id.stringValue().substr(0, 80) + "zz})"); },
       "Invalid EgressId::mpMacAddr '00:1c:73:aa:bb:zz'"},
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
    EXPECT_TRUE(!header || reinterpret_cast<std::uint8_t*>(header->header()) == pkt->frontData() + r.offset);
    EXPECT_TRUE(!lbm || reinterpret_cast<std::uint8_t*>(lbm->header()) == pkt->frontData() + r.offset);
  }
  // The header wrapper writes through to the packet's first header byte and no other.
  auto pkt = countingPkt(20);
  auto w = cFMCommonHeaderWrapperFactory(pkt, 14);  // bytes 0e 0f 10 11
  w->mdLevelIs(6);
  w->versionIs(1);
  EXPECT_EQ(hex(pkt->bytes().subspan(13, 4)), "0d c1 0f 10");
}

}  // namespace
