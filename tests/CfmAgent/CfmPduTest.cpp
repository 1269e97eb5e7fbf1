// The PDU overlays: header and flag bits, range checks, and accessors that must not reach
// past a packet, the MAID or a TLV. (tshark decodes the agent's own LTR and relayed LTM in
// LinktraceTest, and cfmtool's CCMs, LBMs and LTMs in its end-to-end suite.)

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <numeric>

#include "CfmAgent/ContinuityCheckPdu.h"
#include "CfmAgent/LinktracePdu.h"
#include "CfmAgent/LoopbackPdu.h"
#include "tests/support/ErrorText.h"

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
  const Row rows[] = {{0x1f, true, 7, 0xff}, {0xff, false, 0, 0xe0}, {0xa5, true, 0, 0x05}, {0x00, false, 0x20, 0x00}};
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

TEST(CfmWrappers, RefuseOffsetsWhoseFixedPartLeavesThePacket) {
  auto countingPkt = [](std::size_t bytes) {  // bytes 0, 1, 2, ... in a heap block of their own
    std::vector<std::uint8_t> data(bytes);
    std::iota(data.begin(), data.end(), 0);
    auto pkt = Lumen::pktManager().newPkt();
    pkt->bytesIs(data, false, false);
    return pkt;
  };
  // Every length up to a whole LBM at offset 14; an offset near the top must not wrap around.
  for (std::uint32_t offset : {0u, 14u, 0xfffffffcu}) {
    for (std::size_t n = 0; n <= 22; ++n) {
      SCOPED_TRACE(testing::Message() << n << " bytes, offset " << offset);
      auto pkt = countingPkt(n);
      Kiln::Ptr<CFMCommonHeaderWrapper> header;
      EXPECT_EQ(errorOf([&] { header = cFMCommonHeaderWrapperFactory(pkt, offset); }),
                offset + 4ull <= n ? "" : "( offset_ + sizeof( CFMCommonHeader ) ) <= pkt_->frontBytes()");
      Kiln::Ptr<LBMPduWrapper> lbm;
      EXPECT_EQ(errorOf([&] { lbm = lBMPduWrapperFactory(pkt, offset); }),
                offset + 8ull <= n ? "" : "( offset_ + sizeof( LBMPdu ) ) <= pkt_->frontBytes()");
      EXPECT_TRUE(!header || reinterpret_cast<std::uint8_t*>(header->header()) == pkt->frontData() + offset);
      EXPECT_TRUE(!lbm || reinterpret_cast<std::uint8_t*>(lbm->header()) == pkt->frontData() + offset);
    }
  }
  // The header wrapper writes through to the packet's first header byte and no other.
  auto pkt = countingPkt(20);
  auto w = cFMCommonHeaderWrapperFactory(pkt, 14);  // bytes 0e 0f 10 11
  w->mdLevelIs(6);
  w->versionIs(1);
  EXPECT_EQ(hex(pkt->bytes().subspan(13, 4)), "0d c1 0f 10");
}

const std::string mdError = "mdNameLen out of range", maError = "maNameLen out of range";

// Every MD format, MD length and MA length byte over the bytes up to the MAID's end in a heap
// block of its own (the sanitizer sees a read past byte 57): names read from their place when
// they fit the 48 MAID bytes, else the range error. Writing the same names over an earlier
// MAID writes the same bytes, clears the rest of the MAID, leaves the ITU-T area; lengths the
// reader refuses are refused, nothing written.
TEST(CcmPdu, NameLengthsDecideWhatIsReadAndWrittenAndNothingLeavesTheMaid) {
  constexpr std::size_t maidEnd = CCMPdu::maIdOffset + CCMPdu::maIdBytes;
  auto block = std::make_unique<std::uint8_t[]>(maidEnd);
  const auto* ccm = reinterpret_cast<const CCMPdu*>(block.get());
  auto at = [&](std::size_t offset, std::size_t n) { return std::string(reinterpret_cast<char*>(&block[offset]), n); };
  // Bytes 10-73 after the names are written over 0xee, or what was raised when nothing was.
  auto write = [](const std::string& md, std::uint8_t mdFormat, const std::string& ma, std::uint8_t maFormat) {
    std::array<std::uint8_t, 74> wire;
    auto* out = new (wire.data()) CCMPdu(3, Cfm::opCodeCcm);
    std::fill(wire.begin() + 10, wire.end(), 0xee);
    const std::string error = errorOf([&] {
      out->maIdIs({Cfm::MdName(md), Cfm::MdNameFormat(mdFormat)}, {Cfm::MaName(ma), Cfm::MaNameFormat(maFormat)});
    });
    const std::string after = hex(wire.data() + 10, 64);
    return error.empty() ? after : after == hex(std::string(64, '\xee')) ? error : error + ", and wrote " + after;
  };
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
      const std::string md = at(12, hasMd ? mdLen : 0);
      for (unsigned maLen = 0; maLen < 256; ++maLen) {
        block[ma + 1] = std::uint8_t(maLen);
        auto where = [&] { return testing::Message() << int(mdFormat) << "/" << mdLen << "/" << maLen; };
        if (maLen < 1 || maLen > (hasMd ? 44 - mdLen : 45)) {
          EXPECT_EQ(errorOf([&] { ccm->maName(); }), maError) << where();
          EXPECT_TRUE(maLen > 45 || write(md, mdFormat, std::string(maLen, 'a'), 2) == maError) << where();
          continue;
        }
        EXPECT_EQ(ccm->mdName().stringValue(), md) << where();
        EXPECT_EQ(ccm->maName().stringValue(), at(ma + 2, maLen)) << where();
        const std::size_t used = ma + 2 + maLen;
        EXPECT_EQ(write(md, mdFormat, at(ma + 2, maLen), block[ma]),
                  hex(at(10, used - 10) + std::string(58 - used, '\0') + std::string(16, '\xee'))) << where();
      }
    }
  }
  // MD names the format cannot carry: none where it needs one, one where it has none.
  for (std::uint8_t mdFormat : {2, 4}) EXPECT_EQ(write("", mdFormat, "a", 2), mdError);
  EXPECT_EQ(write("m", Cfm::mdNameFormatNone, "a", 2), mdError);
}

TEST(LinktraceTlv, PortIdSpansTheTlvLengthLessNine) {
  // Reply Egress: EgrOK, MAC, port ID length 3, subtype 5 (interface name), "Et1"; the next TLV.
  std::uint8_t wire[] = {0x06, 0x00, 0x0c, 0x01, 0x00, 0x1c, 0x73, 0x00, 0x00, 0x09, 0x03, 0x05, 'E', 't', '1', 0x03};
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
