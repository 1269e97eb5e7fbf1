// cfmtool's frames byte for byte, and its reply filters against replies that differ from
// the awaited one in one field each, or that stop short.

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "apps/cfmtool/Frames.h"
#include "tests/support/PeerFrames.h"
#include "tests/support/Tshark.h"

namespace {

using namespace CfmTool;
using namespace TestSupport;
using enum Mismatch;
using Lumen::EthAddr;

const EthAddr self(0x02, 0, 0, 0, 0, 0x01), peer(0x02, 0, 0, 0, 0, 0x02);
const std::string selfMac = mac(0x020000000001), peerMac = mac(0x020000000002);

FrameBytes frameOf(const std::string& bytes) { return {bytes.begin(), bytes.end()}; }

TEST(CfmToolFrames, BuiltByteExact) {
  const std::pair<FrameBytes, std::string> cases[] = {
      {lbmFrame({peer, self, std::nullopt}, 2, 0x01020304, 0),
       ethernet(peerMac, selfMac, 0, cfmHeader(2, 3, 0, 4) + u32(0x01020304) + '\0')},
      // A Data TLV of pattern bytes.
      {lbmFrame({peer, self, 100}, 7, 0xfffffffe, 3),
       ethernet(peerMac, selfMac, 100,
                cfmHeader(7, 3, 0, 4) + u32(0xfffffffe) + "\x03" + u16(3) + std::string("\0\1\2\0", 4))},
      // TTL, original and target MAC, then the LTM Egress Identifier TLV: 0 and our MAC.
      {ltmFrame({Cfm::ltmGroupAddr(Cfm::MdLevel(5)), self, std::nullopt}, 5, 0x0a0b0c0d, 64, EthAddr(2, 0, 0, 0, 0, 9)),
       ethernet(ltmGroup(5), selfMac, 0,
                cfmHeader(5, 5, 0, 17) + u32(0x0a0b0c0d) + "\x40" + selfMac + mac(0x020000000009) + "\x07" + u16(8) +
                    u16(0) + selfMac + '\0')},
      {ccmFrame({Cfm::ccmGroupAddr(Cfm::MdLevel(3)), self, 4094}, {3, 7, 0x0123, 4, Cfm::MdName("MD"), Cfm::MaName("MA1")}),
       ethernet(ccmGroup(3), selfMac, 4094, ccm(3, 0x0123, "MD", "MA1", 7))},
  };
  for (const auto& [frame, bytes] : cases) EXPECT_EQ(frame, frameOf(bytes));
}

// Y.1731's frames as an independent decoder reads them: opcode, level, tag, the send time,
// the source MEP, test id and TxFCf, and the Data TLV behind the fixed part.
TEST(CfmToolFrames, TsharkReadsTheMeasurementFrames) {
  ASSERT_TRUE(haveTshark()) << "tshark is not installed: scripts/install-deps.sh installs it";
  const FrameBytes frames[] = {
      dmmFrame({peer, self, std::nullopt}, 3, {0x01020304, 0x05060708}, 0),
      dmmFrame({peer, self, 100}, 7, {0xfffffffe, 999999999}, 2),
      slmFrame({peer, self, std::nullopt}, 0, 8191, 0x0a0b0c0d, 1, 0),
      slmFrame({peer, self, 4094}, 5, 1, 0xffffffff, 0x80000000, 3),
  };
  std::vector<std::string> bytes;
  for (const auto& f : frames) bytes.emplace_back(f.begin(), f.end());
  EXPECT_EQ(tsharkDecode(bytes, {"vlan.id", "cfm.opcode", "cfm.md.level", "cfm.odm.dmm.dmr.txtimestampf",
                                 "cfm.slm.src_mep_id", "cfm.slm.test_id", "cfm.slm.txfcf", "cfm.tlv.type",
                                 "cfm.tlv.length"}),
            (std::vector<std::string>{
                "\t47\t3\t0102030405060708\t\t\t\t0\t",
                "100\t47\t7\tfffffffe3b9ac9ff\t\t\t\t3,0\t2",
                "\t55\t0\t\t8191\t0a0b0c0d\t1\t0\t",
                "4094\t55\t5\t\t1\tffffffff\t2147483648\t3,0\t3"}));
}

// An LBR from the peer at level 2 with id 100 and a 2-byte Data TLV.
const std::string lbr =
    ethernet(selfMac, peerMac, 0, cfmHeader(2, 2, 0, 4) + u32(100) + "\x03" + u16(2) + "\xaa\xbb" + '\0');
const ReplyFilter lbrFilter{self, peer, std::nullopt, 2, 99, 3};

// An LTR at level 4, id 7, TTL 63, RlyFDB, FwdYes and TerminalMEP, then an LTR Egress
// Identifier TLV, a Reply Ingress TLV and a Reply Egress TLV with a port id.
const std::string ltr =
    ethernet(selfMac, mac(0x02000000000a), 0,
             cfmHeader(4, 4, 0x60, 6) + u32(7) + "\x3f\x02" + "\x08" + u16(16) + std::string(16, '\0') + "\x05" +
                 u16(7) + "\x01" + mac(0x02000000000b) + "\x06" + u16(10) + "\x02" + mac(0x02000000000c) +
                 "\x01\x05\x41" + '\0');
const ReplyFilter ltrFilter{self, std::nullopt, std::nullopt, 4, 7, 1};

// `frame` with the byte at `at` changed.
std::string patched(std::string frame, std::size_t at, char value) { return frame.replace(at, 1, 1, value); }

TEST(CfmToolFrames, LoopbackReplyMatchesOnlyItsRequest) {
  const auto tagged = [](std::uint16_t tci, const std::string& inner = "") {
    return lbr.substr(0, 12) + u16(0x8100) + u16(tci) + inner + lbr.substr(12);
  };
  ReplyFilter onVlan100 = lbrFilter, wrapping = lbrFilter;
  onVlan100.vlan = 100;
  wrapping.firstTransactionId = 0xffffffa0;  // a run of ids that wraps past 2^32 - 1
  wrapping.transactionIds = 0xc5;
  const std::tuple<std::string, const ReplyFilter&, Mismatch> cases[] = {
      {lbr, lbrFilter, accepted},
      {lbr, wrapping, accepted},
      {patched(lbr, 21, 101), lbrFilter, accepted},  // the last id of the run
      {patched(lbr, 21, 98), lbrFilter, transactionId},
      {patched(lbr, 21, 102), lbrFilter, transactionId},
      {patched(lbr, 15, 3), lbrFilter, opCode},  // the LBM itself
      {patched(lbr, 14, 0x60), lbrFilter, level},
      {patched(lbr, 5, 0x03), lbrFilter, destination},
      {patched(lbr, 11, 0x03), lbrFilter, source},
      {patched(lbr, 13, 0x00), lbrFilter, notCfm},
      {patched(lbr, 24, 0x30), lbrFilter, malformedTlv},  // the Data TLV past the end
      {patched(lbr, 17, 2), lbrFilter, malformedTlv},     // first TLV inside the id
      {patched(lbr, 17, char(0xff)), lbrFilter, malformedTlv},
      {tagged(100), onVlan100, accepted},
      {tagged(0xa064), onVlan100, accepted},  // priority 5
      {tagged(200), onVlan100, vlan},
      {lbr, onVlan100, vlan},
      {tagged(100), lbrFilter, vlan},
      {tagged(0xe000), lbrFilter, accepted},  // a priority tag
      {tagged(100, u16(0x8100) + u16(100)), onVlan100, vlan},
  };
  for (const auto& [frame, filter, expected] : cases) {
    const auto parsed = parseLoopbackReply(frameOf(frame), filter);
    EXPECT_EQ(stringValue(parsed.mismatch), stringValue(expected)) << testing::PrintToString(frame);
    EXPECT_EQ(parsed.reply.has_value(), expected == accepted);
  }
  const auto reply = parseLoopbackReply(frameOf(lbr + std::string(10, '\0')), lbrFilter).reply;
  ASSERT_TRUE(reply);
  // The PDU through the End TLV, not the padding.
  EXPECT_EQ(std::tuple(reply->src, reply->transactionId, reply->pduBytes), std::tuple(peer, 100u, 14u));
}

TEST(CfmToolFrames, LinktraceReplyReadsItsPortsAndMatchesItsTransaction) {
  const auto reply = parseLinktraceReply(frameOf(ltr), ltrFilter).reply;
  ASSERT_TRUE(reply && reply->ingress && reply->egress);
  EXPECT_EQ(std::tie(reply->src, reply->replyTtl, reply->relayAction, reply->fwdYes, reply->terminalMep),
            std::tuple(EthAddr(0x02, 0, 0, 0, 0, 0x0a), 63, 2, true, true));
  EXPECT_EQ(std::tie(reply->ingress->mac, reply->ingress->action), std::tuple(EthAddr(2, 0, 0, 0, 0, 0x0b), 1));
  EXPECT_EQ(std::tie(reply->egress->mac, reply->egress->action), std::tuple(EthAddr(2, 0, 0, 0, 0, 0x0c), 2));

  const std::tuple<std::size_t, char, Mismatch> cases[] = {
      {21, 8, transactionId}, {15, 5, opCode}, {15, 2, opCode}, {14, char(0xa0), level}, {5, 0x0b, destination}};
  for (const auto& [offset, value, expected] : cases) {
    EXPECT_EQ(stringValue(parseLinktraceReply(frameOf(patched(ltr, offset, value)), ltrFilter).mismatch),
              stringValue(expected)) << offset;
  }
  // A Reply Ingress TLV too short for a MAC address is left out, not the reply.
  const auto partial = parseLinktraceReply(frameOf(patched(ltr, 45, 2).erase(48, 5)), ltrFilter).reply;
  ASSERT_TRUE(partial);
  EXPECT_FALSE(partial->ingress);
  EXPECT_TRUE(partial->egress);
}

// A DMR at level 1 with the four times and a 1-byte Data TLV, and an SLR at level 6 of test
// 0x01020304 to MEP 12 from MEP 9, counters 5 and 4.
const std::string dmr = ethernet(selfMac, peerMac, 0,
                                 cfmHeader(1, 46, 0, 32) + u32(10) + u32(1) + u32(10) + u32(2) + u32(10) + u32(3) +
                                     std::string(8, '\0') + "\x03" + u16(1) + "x" + '\0');
const std::string slr =
    ethernet(selfMac, peerMac, 0, cfmHeader(6, 54, 0, 16) + u16(12) + u16(9) + u32(0x01020304) + u32(5) + u32(4) + '\0');
const ReplyFilter dmrFilter{self, peer, std::nullopt, 1};
const ReplyFilter slrFilter = [] {
  ReplyFilter f{self, peer, std::nullopt, 6};
  f.testId = 0x01020304;
  f.sourceMepId = 12;
  return f;
}();

TEST(CfmToolFrames, MeasurementRepliesReadTheirFieldsAndMatchTheirTest) {
  const auto delay = parseDelayReply(frameOf(dmr), dmrFilter).reply;
  ASSERT_TRUE(delay);
  EXPECT_EQ(delay->src, peer);
  EXPECT_EQ(std::tuple(delay->dmr.txTimeStampf(), delay->dmr.rxTimeStampf(), delay->dmr.txTimeStampb()),
            std::tuple(Cfm::PmTime{10, 1}, Cfm::PmTime{10, 2}, Cfm::PmTime{10, 3}));
  const auto loss = parseLossReply(frameOf(slr), slrFilter).reply;
  ASSERT_TRUE(loss);
  EXPECT_EQ(std::tie(loss->src, loss->responderMepId, loss->txFcf, loss->txFcb), std::tuple(peer, 9, 5u, 4u));

  // Each row one field off; the responder's own MEP id is none of our business.
  const std::tuple<std::string, bool, Mismatch> cases[] = {
      {patched(slr, 25, 0x05), true, testId},       {patched(slr, 19, 13), true, mepId},
      {patched(slr, 21, 13), true, accepted},       {patched(slr, 15, 55), true, opCode},  // the SLM itself
      {patched(slr, 17, 15), true, malformedTlv},   {patched(dmr, 15, 47), false, opCode},  // the DMM itself
      {patched(dmr, 14, 0x40), false, level},       {patched(dmr, 11, 0x03), false, source},
      {patched(dmr, 17, 16), false, malformedTlv},  // 1DM's first TLV offset
  };
  for (const auto& [frame, isSlr, expected] : cases) {
    const Mismatch m = isSlr ? parseLossReply(frameOf(frame), slrFilter).mismatch
                             : parseDelayReply(frameOf(frame), dmrFilter).mismatch;
    EXPECT_EQ(stringValue(m), stringValue(expected)) << testing::PrintToString(frame);
  }
}

// Every prefix of a reply is refused, except where its TLV chain stops at a TLV boundary (a
// chain without End TLV is complete); and never read past its end, which the sanitizer
// build sees to: each prefix is a heap block of its own.
TEST(CfmToolFrames, EveryPrefixOfAReply) {
  using Parse = std::function<Mismatch(const FrameBytes&)>;
  const std::tuple<std::string, Parse, std::size_t, std::vector<std::size_t>> cases[] = {
      {lbr, [](const FrameBytes& f) { return parseLoopbackReply(f, lbrFilter).mismatch; }, 22, {22, 27, 28}},
      {ltr, [](const FrameBytes& f) { return parseLinktraceReply(f, ltrFilter).mismatch; }, 24, {24, 43, 53, 66, 67}},
      {dmr, [](const FrameBytes& f) { return parseDelayReply(f, dmrFilter).mismatch; }, 50, {50, 54, 55}},
      {slr, [](const FrameBytes& f) { return parseLossReply(f, slrFilter).mismatch; }, 34, {34, 35}},
  };
  for (const auto& [frame, parse, fixedPart, complete] : cases) {
    for (std::size_t n = 0; n <= frame.size(); ++n) {
      const Mismatch expected = n < 18                            ? notCfm
                                : n < fixedPart                 ? tooShort
                                : std::ranges::count(complete, n) ? accepted
                                                                  : malformedTlv;
      EXPECT_EQ(stringValue(parse(frameOf(frame.substr(0, n)))), stringValue(expected)) << n << " of " << frame.size();
    }
  }
}

}  // namespace
