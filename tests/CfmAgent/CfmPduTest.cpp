// The PDU overlays: header and flag bits, range checks and text forms, accessors that must
// not reach past a packet or the MAID, and linktrace TLVs built in place. Field offsets are
// pinned at compile time beside the overlays and against tshark in PduTsharkTest.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <numeric>

#include "AgentTestUtil.h"
#include "CfmAgent/ContinuityCheckPdu.h"
#include "CfmAgent/LinktracePdu.h"
#include "CfmAgent/LoopbackPdu.h"

namespace {

using TestSupport::errorOf;

using namespace CfmAgent;

// "60 05 00 11": what a failed comparison prints.
std::string hex(const void* bytes, std::size_t n) {
  std::string out;
  char b[4];
  const auto* p = static_cast<const std::uint8_t*>(bytes);
  for (std::size_t i = 0; i < n; ++i) out.append(b, std::snprintf(b, sizeof b, " %02x", p[i]));
  return out.substr(n ? 1 : 0);
}
std::string hex(const auto& bytes) { return hex(bytes.data(), bytes.size()); }

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
  const std::string opCodeError =
      "CFMCommonHeader::opCode < CFMCommonHeader::opCodeMin or > CFMCommonHeader::opCodeMax not allowed";
  for (std::uint8_t op : {0, 6, 255}) {
    CFMCommonHeader h(3, Cfm::opCodeLtm);
    EXPECT_EQ(errorOf([=] { (void)CFMCommonHeader(3, op); }), opCodeError) << int(op);
    EXPECT_EQ(errorOf([&] { h.opCodeIs(op); }), opCodeError) << int(op);
    EXPECT_EQ(errorOf([&] { h.opCodeIs(op); }), "") << int(op);  // stored, and not new any more
  }
  const std::uint8_t leastFirstTlvOffset[] = {0, 70, 4, 4, 6, 17};
  for (std::uint8_t op = 0; op <= 5; ++op) EXPECT_EQ(minFirstTlvOffset(op), leastFirstTlvOffset[op]) << int(op);
  EXPECT_EQ(errorOf([] { minFirstTlvOffset(6); }), "opCode <= CFMCommonHeader::opCodeMax");
}

TEST(PduFlags, EachSetterChangesOnlyItsBitsAndMepIdsStayInRange) {
  // `set` sets and clears its bits over flags that were all clear, then all set.
  auto expectOnlyItsBits = [](auto pdu, auto set, int bits) {
    std::invoke(set, pdu, true);
    EXPECT_EQ(pdu.flag(), bits);
    pdu.flagIs(0xff);
    std::invoke(set, pdu, false);
    EXPECT_EQ(pdu.flag(), 0xff & ~bits) << bits;
  };
  CCMPdu ccm(0, Cfm::opCodeCcm);
  const LTRPdu ltr(0, Cfm::opCodeLtr);
  expectOnlyItsBits(ccm, [](CCMPdu& c, bool on) { c.ccmIntervalFieldIs(on ? 7 : 0); }, 0x07);
  expectOnlyItsBits(ccm, [](CCMPdu& c, bool on) { c.reservedIs(on ? 0x0f : 0); }, 0x78);
  expectOnlyItsBits(ccm, &CCMPdu::remoteDefectIndicationIs, 0x80);
  expectOnlyItsBits(ltr, &LTRPdu::useFdbOnlyIs, 0x80);
  expectOnlyItsBits(ltr, &LTRPdu::fwdYesIs, 0x40);
  expectOnlyItsBits(ltr, &LTRPdu::terminalMepIs, 0x20);
  const std::string mepIdError = "CCMPdu::mepId < CCMPdu::mepIdMin or > CCMPdu::mepIdMax not allowed";
  for (std::uint16_t id : {0, 8192, 0xffff}) EXPECT_EQ(errorOf([&] { ccm.mepIdIs(id); }), mepIdError) << id;
  EXPECT_EQ(errorOf([&] { ccm.mepIdIs(8191); }), "");
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
  for (const auto& [parse, error] : bad) EXPECT_EQ(errorOf(parse), error);
}

TEST(CfmWrappers, RefuseOffsetsWhoseFixedPartLeavesThePacket) {
  // A packet of bytes 0, 1, 2, ... in a heap block of its own size.
  auto countingPkt = [](std::size_t bytes) {
    std::vector<std::uint8_t> data(bytes);
    std::iota(data.begin(), data.end(), 0);
    auto pkt = Lumen::pktManager().newPkt();
    pkt->bytesIs(data, false, false);
    return pkt;
  };
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
    EXPECT_EQ(errorOf([&] { header = cFMCommonHeaderWrapperFactory(pkt, r.offset); }),
              r.headerFits ? "" : "( offset_ + sizeof( CFMCommonHeader ) ) <= pkt_->frontBytes()");
    Kiln::Ptr<LBMPduWrapper> lbm;
    EXPECT_EQ(errorOf([&] { lbm = lBMPduWrapperFactory(pkt, r.offset); }),
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

const std::string mdError = "mdNameLen out of range", maError = "maNameLen out of range";

// Every MD format, MD length and MA length byte, laid over exactly the bytes up to the end
// of the MAID in a heap block of its own (a read past byte 57 is a heap overflow the
// sanitizer reports): names read from their place when the lengths fit the 48 MAID bytes,
// and the right range error when they do not.
TEST(CcmPdu, NameLengthsDecideWhatIsReadAndNothingLeavesTheMaid) {
  constexpr std::size_t maidEnd = CCMPdu::maIdOffset + CCMPdu::maIdBytes;
  auto block = std::make_unique<std::uint8_t[]>(maidEnd);
  const auto* ccm = reinterpret_cast<const CCMPdu*>(block.get());
  auto at = [&](std::size_t offset, std::size_t n) { return std::string(reinterpret_cast<char*>(&block[offset]), n); };
  for (std::uint8_t mdFormat : {1, 2, 4}) {  // 2 and other formats are laid out as 4
    for (unsigned mdLen = 0; mdLen < 256; ++mdLen) {
      for (std::size_t i = 0; i < maidEnd; ++i) block[i] = std::uint8_t(i);
      block[10] = mdFormat;
      block[11] = std::uint8_t(mdLen);  // the MA format when there is no MD name
      const bool hasMd = mdFormat != 1;
      const std::size_t ma = hasMd ? 12 + mdLen : 11;
      if (hasMd && (mdLen < 1 || mdLen > 43)) {
        EXPECT_EQ(errorOf([&] { ccm->maName(); }), mdError) << mdLen;
        continue;
      }
      for (unsigned maLen = 0; maLen < 256; ++maLen) {
        block[ma + 1] = std::uint8_t(maLen);
        auto where = [&] { return testing::Message() << int(mdFormat) << "/" << mdLen << "/" << maLen; };
        if (maLen < 1 || maLen > (hasMd ? 44 - mdLen : 45)) {
          EXPECT_EQ(errorOf([&] { ccm->maName(); }), maError) << where();
        } else {
          EXPECT_EQ(ccm->mdName().stringValue(), at(12, hasMd ? mdLen : 0)) << where();
          EXPECT_EQ(ccm->maName().stringValue(), at(ma + 2, maLen)) << where();
        }
      }
    }
  }
}

// An originator writes the MAID from names; what it writes must read back through the
// accessors above, leave nothing of an earlier MAID, and refuse what they would refuse.
TEST(CcmPdu, MaidWrittenFromNamesReadsBack) {
  struct Row { Cfm::MdNameFormat mdFormat; std::size_t mdLen, maLen; std::string error; };
  const auto text = Cfm::mdNameFormatCharacterString, none = Cfm::mdNameFormatNone;
  const Row rows[] = {
      {text, 6, 6, ""},       {text, 43, 1, ""},      {text, 1, 43, ""},     {none, 0, 3, ""}, {none, 0, 45, ""},
      {text, 1, 44, maError}, {text, 43, 2, maError}, {text, 5, 0, maError}, {text, 0, 1, mdError},
      {none, 1, 5, mdError},  // a name the format cannot carry
  };
  for (const Row& r : rows) {
    SCOPED_TRACE(testing::Message() << int(r.mdFormat) << "/" << r.mdLen << "/" << r.maLen);
    std::array<std::uint8_t, 74> wire;
    auto* ccm = new (wire.data()) CCMPdu(3, Cfm::opCodeCcm);
    std::fill(wire.begin() + 10, wire.end(), 0xee);  // an earlier frame's MAID and ITU-T area
    const auto before = wire;
    EXPECT_EQ(errorOf([&] {
                ccm->maIdIs({Cfm::MdName(std::string(r.mdLen, 'm')), r.mdFormat},
                            {Cfm::MaName(std::string(r.maLen, 'a')), Cfm::maNameFormatCharacterString});
              }),
              r.error);
    if (!r.error.empty()) {
      EXPECT_EQ(wire, before);
      continue;
    }
    EXPECT_EQ(ccm->mdNameFormat(), r.mdFormat);
    EXPECT_EQ(ccm->mdName().stringValue(), std::string(r.mdLen, 'm'));
    EXPECT_EQ(ccm->maName().stringValue(), std::string(r.maLen, 'a'));
    const std::size_t used = ccm->ma() + 2 + r.maLen;
    EXPECT_EQ(hex(wire.data() + used, 58 - used), hex(std::string(58 - used, '\0')));  // the rest of the MAID
    EXPECT_EQ(hex(wire.data() + 58, 16), hex(std::string(16, '\xee')));              // not the ITU-T area
  }
}

// Linktrace PDUs and TLVs built in place over a used transmit buffer: the overlay's bytes,
// then the first byte after it.
TEST(LinktracePdu, InPlaceConstructionZeroesExactlyTheFixedPart) {
  const std::pair<std::function<void(std::uint8_t*)>, std::string> rows[] = {
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
    EXPECT_EQ(hex(buf.data(), (bytes.size() + 1) / 3), bytes);
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
  EXPECT_EQ(errorOf([&] { tlv->portIdIs("Et10"); }), "s.bytes() <= bufLen");

  // A length below the fixed part's: no port ID to read or write.
  std::uint8_t fixed[sizeof(ReplyTlvPortId)] = {};
  auto* built = new (fixed) ReplyIngressTlvPortId(8);
  const char* tooShort = "length() >= ( sizeof( ReplyTlvPortId ) - sizeof( TypeLength ) )";
  EXPECT_EQ(errorOf([&] { built->portId(); }), tooShort);
  EXPECT_EQ(errorOf([&] { built->portIdIs(""); }), tooShort);
}

}  // namespace
