#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>

#include "CfmAgent/CfmPdu.h"
#include "CfmAgent/LoopbackPdu.h"
#include "PduTestUtil.h"
#include "platform/lumen/Pkt.h"

namespace {

using namespace CfmAgent;
using PduTest::assertionText;
using PduTest::hex;
using PduTest::rangeError;

constexpr const char* opCodeRangeError =
    "CFMCommonHeader::opCode < CFMCommonHeader::opCodeMin or > CFMCommonHeader::opCodeMax "
    "not allowed";

TEST(CfmCommonHeader, ConstructionLaysDownLevelAndOpCode) {
  struct Case {
    std::uint8_t level, op;
    const char* bytes;
  };
  const Case cases[] = {
      {3, 5, "60 05 00 00"},
      {0, 1, "00 01 00 00"},
      {7, 3, "e0 03 00 00"},
      {9, 2, "20 02 00 00"},  // only the low three bits of the level survive
  };
  for (const Case& c : cases) {
    EXPECT_EQ(hex(wireBytes(CFMCommonHeader(c.level, c.op))), c.bytes);
  }
  for (std::uint8_t op : {0, 6, 255}) {
    EXPECT_EQ(rangeError([=] { (void)CFMCommonHeader(3, op); }), opCodeRangeError) << int(op);
  }
}

TEST(CfmCommonHeader, ReadsReceivedBytes) {
  // Level 5 version 3, LTR, flags 0x9f, first TLV offset 6.
  const std::uint8_t wire[] = {0xa3, 0x04, 0x9f, 0x06};
  const auto* h = reinterpret_cast<const CFMCommonHeader*>(wire);
  EXPECT_EQ(h->mdLevel(), 5);
  EXPECT_EQ(h->version(), 3);
  EXPECT_EQ(h->mdLevelField(), MdLevelVersion(0xa3));
  EXPECT_EQ(h->opCode(), Cfm::opCodeLtr);
  EXPECT_EQ(h->flag(), 0x9f);
  EXPECT_EQ(h->firstTlvOffset(), 6);
}

TEST(CfmCommonHeader, LevelAndVersionSettersKeepTheOtherBits) {
  enum Field { level, version };
  struct Case {
    std::uint8_t before;
    Field field;
    std::uint8_t arg, after;
  };
  const Case cases[] = {
      {0x1f, level, 7, 0xff},      {0xff, version, 0, 0xe0},
      {0xa5, level, 0, 0x05},      {0xa5, level, 0x0a, 0x45},  // 0x0a << 5 keeps only 010
      {0xa5, version, 0x3f, 0xbf}, {0x00, version, 0x20, 0x00},
  };
  for (const Case& c : cases) {
    MdLevelVersion byte(c.before);
    CFMCommonHeader header(0, Cfm::opCodeCcm);
    header.mdLevelFieldIs(MdLevelVersion(c.before));
    if (c.field == level) {
      byte.mdLevelIs(c.arg);
      header.mdLevelIs(c.arg);
    } else {
      byte.versionIs(c.arg);
      header.versionIs(c.arg);
    }
    EXPECT_EQ(byte.value(), c.after) << int(c.before) << " " << int(c.arg);
    EXPECT_EQ(wireBytes(header)[0], c.after);
  }
  // Comparisons take the whole byte: level first, then version.
  EXPECT_LT(MdLevelVersion(0x3f), MdLevelVersion(0x40));
  EXPECT_NE(MdLevelVersion(0x40), MdLevelVersion(0x41));
}

TEST(CfmCommonHeader, OpCodeSetterRefusesNewValuesOutsideOneToFive) {
  CFMCommonHeader h(3, Cfm::opCodeLtm);
  EXPECT_EQ(rangeError([&] { h.opCodeIs(5); }), "");
  EXPECT_EQ(rangeError([&] { h.opCodeIs(3); }), "");
  EXPECT_EQ(h.opCode(), 3);
  EXPECT_EQ(rangeError([&] { h.opCodeIs(6); }), opCodeRangeError);
  EXPECT_EQ(rangeError([&] { h.opCodeIs(0); }), opCodeRangeError);
  h.flagIs(0x81);
  h.firstTlvOffsetIs(70);
  EXPECT_EQ(hex(wireBytes(h)), "60 00 81 46");
}

TEST(CfmTlv, TypeLengthIsTypeThenBigEndianLength) {
  TypeLength t;
  EXPECT_EQ(hex(wireBytes(t)), "00 00 00");
  t.typeIs(tlvTypeData);
  t.lengthIs(0x0102);
  EXPECT_EQ(hex(wireBytes(t)), "03 01 02");
  const std::uint8_t wire[] = {0x1f, 0xfe, 0x01};
  const auto* received = reinterpret_cast<const TypeLength*>(wire);
  EXPECT_EQ(received->type(), tlvTypeOrganizationSpecific);
  EXPECT_EQ(received->length(), 0xfe01);
}

TEST(CfmTlv, MinimumFirstTlvOffsetByOpCode) {
  const std::uint8_t expected[] = {0, 70, 4, 4, 6, 17};
  for (std::uint8_t op = 0; op <= 5; ++op) EXPECT_EQ(minFirstTlvOffset(op), expected[op]);
  EXPECT_EQ(assertionText([] { minFirstTlvOffset(6); }), "opCode <= CFMCommonHeader::opCodeMax");
}

TEST(CfmTextForms, OneByteValuesRoundTrip) {
  EXPECT_EQ(MdLevelVersion(0xe0).stringValue(), "224");
  EXPECT_EQ(MdLevelVersion::parse("224"), MdLevelVersion(0xe0));
  EXPECT_EQ(MdLevelVersion::parse("255"), MdLevelVersion(0xe0));  // version forced to 0
  EXPECT_EQ(FirstTlvOffset(70).stringValue(), "70");
  EXPECT_EQ(FirstTlvOffset::parse("17"), FirstTlvOffset(FirstTlvOffset::firstTlvOffsetLtm));
  struct Bad {
    const char* text;
    const char* error;
  };
  const Bad bad[] = {
      {"256", "Invalid MdLevelVersion::value '256'"},
      {"99999999999999999999999", "Invalid MdLevelVersion::value '99999999999999999999999'"},
      {"", "Invalid MdLevelVersion::value ''"},
      {"-1", "Invalid MdLevelVersion::value '-1'"},
      {"12x", "Invalid MdLevelVersion text '12x'"},
  };
  for (const Bad& b : bad) {
    EXPECT_EQ(rangeError([&] { MdLevelVersion::parse(b.text); }), b.error);
  }
  EXPECT_EQ(rangeError([] { FirstTlvOffset::parse(" 4"); }), "Invalid FirstTlvOffset::value ' 4'");
}

TEST(CfmTextForms, TlvTypesRoundTripByNameAndNumber) {
  EXPECT_EQ(stringValue(tlvTypeEnd), "tlvTypeEnd");
  EXPECT_EQ(stringValue(tlvTypeLtrEgressId), "tlvTypeLtrEgressId");
  EXPECT_EQ(stringValue(TlvTypeInstance(31)), "tlvTypeOrganizationSpecific");
  EXPECT_EQ(TlvTypeInstance("tlvTypeLtmEgressId"), tlvTypeLtmEgressId);
  EXPECT_EQ(stringValue(TlvType(9)), "9");
  for (unsigned v = 0; v < 256; ++v) {
    EXPECT_EQ(TlvTypeInstance(stringValue(TlvTypeInstance(std::uint8_t(v)))), v);
  }
  EXPECT_EQ(rangeError([] { TlvTypeInstance("tlvTypeFoo"); }), "Invalid TlvType text 'tlvTypeFoo'");
  EXPECT_EQ(rangeError([] { TlvTypeInstance(""); }), "Invalid TlvType text ''");
  EXPECT_EQ(rangeError([] { TlvTypeInstance("300"); }), "Invalid TlvType::value '300'");
}

// A packet holding `bytes` bytes 0, 1, 2, ...
Kiln::Ptr<Lumen::Pkt> countingPkt(std::size_t bytes) {
  std::string data(bytes, '\0');
  for (std::size_t i = 0; i < bytes; ++i) data[i] = char(i);
  auto pkt = Lumen::pktManager().newPkt();
  pkt->stringValueIs(data, false);
  return pkt;
}

TEST(CfmWrappers, RefuseOffsetsWhoseFixedPartLeavesThePacket) {
  struct Case {
    std::size_t pktBytes;
    std::uint32_t offset;
    bool headerFits, lbmFits;
  };
  const Case cases[] = {
      {4, 0, true, false},    {8, 0, true, true},    {7, 0, true, false},
      {22, 14, true, true},   {21, 14, true, false}, {18, 14, true, false},
      {17, 14, false, false}, {0, 0, false, false},  {8, 0xfffffffc, false, false},
  };
  for (const Case& c : cases) {
    auto pkt = countingPkt(c.pktBytes);
    Kiln::Ptr<CFMCommonHeaderWrapper> header;
    EXPECT_EQ(assertionText([&] { header = cFMCommonHeaderWrapperFactory(pkt, c.offset); }),
              c.headerFits ? "" : "( offset_ + sizeof( CFMCommonHeader ) ) <= pkt_->frontBytes()")
        << c.pktBytes << " " << c.offset;
    Kiln::Ptr<LBMPduWrapper> lbm;
    EXPECT_EQ(assertionText([&] { lbm = lBMPduWrapperFactory(pkt, c.offset); }),
              c.lbmFits ? "" : "( offset_ + sizeof( LBMPdu ) ) <= pkt_->frontBytes()")
        << c.pktBytes << " " << c.offset;
    if (header) {
      EXPECT_EQ(reinterpret_cast<std::uint8_t*>(header->header()), pkt->frontData() + c.offset);
      EXPECT_EQ(header->opCode(), std::uint8_t(c.offset + 1));
    }
    if (lbm) {
      const std::uint32_t o = c.offset;
      EXPECT_EQ(lbm->header()->transactionId(),
                (o + 4) << 24 | (o + 5) << 16 | (o + 6) << 8 | (o + 7));
    }
  }
}

TEST(CfmWrappers, HeaderWrapperRewritesThePacketsFirstHeaderByte) {
  auto pkt = countingPkt(20);
  auto w = cFMCommonHeaderWrapperFactory(pkt, 14);  // bytes 0e 0f 10 11
  EXPECT_EQ(w->mdLevel(), 0);
  EXPECT_EQ(w->version(), 0x0e);
  EXPECT_EQ(w->flag(), 0x10);
  EXPECT_EQ(w->firstTlvOffset(), 0x11);
  w->mdLevelIs(6);
  EXPECT_EQ(pkt->frontData()[14], 0xce);
  w->versionIs(0);
  EXPECT_EQ(pkt->frontData()[14], 0xc0);
  EXPECT_EQ(pkt->frontData()[13], 0x0d);
  EXPECT_EQ(pkt->frontData()[15], 0x0f);
}

}  // namespace
