// cfmtool's frames byte for byte, and its reply filters against replies that differ from
// the awaited one in one field each, or that stop short.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <vector>

#include "apps/cfmtool/Frames.h"
#include "CfmAgent/ContinuityCheckPdu.h"
#include "tests/CfmAgent/PduTestUtil.h"

namespace {

using namespace CfmTool;
using Lumen::EthAddr;
using PduTest::hex;

const EthAddr self(0x02, 0, 0, 0, 0, 0x01);
const EthAddr peer(0x02, 0, 0, 0, 0, 0x02);

Frame bytes(std::string_view hexText) {
  Frame out;
  for (std::size_t i = 0; i + 1 < hexText.size(); ++i) {
    if (hexText[i] == ' ') continue;
    out.push_back(std::uint8_t(std::stoul(std::string(hexText.substr(i, 2)), nullptr, 16)));
    ++i;
  }
  return out;
}

TEST(CfmToolFrames, BuiltByteExact) {
  const EthAddr target(0x02, 0, 0, 0, 0, 0x09);
  struct Case {
    const char* name;
    Frame frame;
    const char* hex;
  };
  const Case cases[] = {
      {"LBM untagged, no data", lbmFrame({peer, self, std::nullopt}, 2, 0x01020304, 0),
       "02 00 00 00 00 02 02 00 00 00 00 01 89 02 "
       "40 03 00 04 01 02 03 04 00"},  // level 2, LBM, first TLV at 4, id, End
      {"LBM on VLAN 100 with 3 data bytes", lbmFrame({peer, self, 100}, 7, 0xfffffffe, 3),
       "02 00 00 00 00 02 02 00 00 00 00 01 81 00 00 64 89 02 "
       "e0 03 00 04 ff ff ff fe 03 00 03 00 01 02 00"},
      {"LTM", ltmFrame({ltmGroupAddr(5), self, std::nullopt}, 5, 0x0a0b0c0d, 64, target),
       "01 80 c2 00 00 3d 02 00 00 00 00 01 89 02 "
       "a0 05 00 11 0a 0b 0c 0d 40 02 00 00 00 00 01 02 00 00 00 00 09 "
       "07 00 08 00 00 02 00 00 00 00 01 00"},  // LTM Egress Identifier: 0, our MAC
  };
  for (const Case& c : cases) EXPECT_EQ(hex(c.frame), c.hex) << c.name;

  const CcmFields fields{3, 7, 0x0123, 4, Cfm::MdName("MD"), Cfm::MaName("MA1")};
  const Frame ccm = ccmFrame({ccmGroupAddr(3), self, 4094}, fields);
  ASSERT_EQ(ccm.size(), 14u + 4 + 74 + 1);
  EXPECT_EQ(hex(ccm.data(), 39),
            "01 80 c2 00 00 33 02 00 00 00 00 01 81 00 0f fe 89 02 "
            "60 01 04 46 00 00 00 07 01 23 04 02 4d 44 02 03 4d 41 31 00 00");
  EXPECT_EQ(hex(ccm.data() + 37, 56), hex(std::vector<std::uint8_t>(56)));  // MAID rest, ITU-T, End
}

TEST(CfmToolFrames, GroupAddressesDecodeToTheirLevelAndOpcode) {
  for (std::uint8_t level = 0; level < 8; ++level) {
    const Cfm::CfmMulticastEthAddr ccm(ccmGroupAddr(level)), ltm(ltmGroupAddr(level));
    EXPECT_EQ(ccm.mdLevel().value(), level);
    EXPECT_EQ(ccm.opCode(), Cfm::opCodeCcm);
    EXPECT_EQ(ltm.mdLevel().value(), level);
    EXPECT_EQ(ltm.opCode(), Cfm::opCodeLtm);
  }
}

TEST(CfmToolFrames, IntervalCodeIsTheNearestPeriodByRatio) {
  const std::pair<double, int> cases[] = {
      {1.0 / 300, 1}, {0.001, 1}, {0.01, 2}, {0.1, 3}, {0.3, 3},  {0.32, 4}, {1, 4},
      {3, 4},         {3.2, 5},   {10, 5},   {60, 6},  {600, 7},  {3600, 7},
  };
  for (const auto& [seconds, code] : cases) EXPECT_EQ(ccmIntervalCode(seconds), code) << seconds;
}

// An LBR from the peer at level 2 with id 100 and a 2-byte Data TLV, padded to 38 bytes.
const char lbr[] =
    "02 00 00 00 00 01 02 00 00 00 00 02 89 02 40 02 00 04 00 00 00 64 03 00 02 aa bb 00 "
    "00 00 00 00 00 00 00 00 00 00";
const ReplyFilter lbrFilter{self, peer, std::nullopt, 2, 99, 3};

TEST(CfmToolFrames, LoopbackReplyMatchesOnlyItsRequest) {
  struct Case {
    const char* name;
    std::size_t offset;  // one byte of `lbr` changed
    std::uint8_t value;
    Mismatch expected;
  };
  const Case cases[] = {
      {"the reply", 0, 0x02, Mismatch::accepted},
      {"last id of the run", 21, 101, Mismatch::accepted},
      {"id before the run", 21, 98, Mismatch::transactionId},
      {"id after the run", 21, 102, Mismatch::transactionId},
      {"LBM, not LBR", 15, 3, Mismatch::opCode},
      {"level 3", 14, 0x60, Mismatch::level},
      {"to another station", 5, 0x03, Mismatch::destination},
      {"from another station", 11, 0x03, Mismatch::source},
      {"not CFM", 13, 0x00, Mismatch::notCfm},
      {"TLV past the end", 24, 0x30, Mismatch::malformedTlv},
      {"first TLV inside the id", 17, 2, Mismatch::malformedTlv},
      {"first TLV past the end", 17, 0xff, Mismatch::malformedTlv},
  };
  for (const Case& c : cases) {
    Frame frame = bytes(lbr);
    frame[c.offset] = c.value;
    const auto parsed = parseLoopbackReply(frame, lbrFilter);
    EXPECT_EQ(stringValue(parsed.mismatch), stringValue(c.expected)) << c.name;
    EXPECT_EQ(parsed.reply.has_value(), c.expected == Mismatch::accepted) << c.name;
  }
  const auto reply = parseLoopbackReply(bytes(lbr), lbrFilter).reply;
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->src, peer);
  EXPECT_EQ(reply->transactionId, 100u);
  EXPECT_EQ(reply->pduBytes, 14u);  // through the End TLV, not the padding

  // A run of ids that wraps past 2^32 - 1.
  ReplyFilter wrapping = lbrFilter;
  wrapping.firstTransactionId = 0xffffffa0;
  wrapping.transactionIds = 0xc5;
  EXPECT_TRUE(parseLoopbackReply(bytes(lbr), wrapping).reply);
}

TEST(CfmToolFrames, ReplyVlanMustBeTheRequests) {
  const auto tagged = [](const char* tci) {
    Frame frame = bytes(lbr);
    const Frame tag = bytes(std::string("81 00 ") + tci);
    frame.insert(frame.begin() + 12, tag.begin(), tag.end());
    return frame;
  };
  ReplyFilter onVlan100 = lbrFilter;
  onVlan100.vlan = 100;
  struct Case {
    const char* name;
    Frame frame;
    const ReplyFilter& filter;
    Mismatch expected;
  };
  const Case cases[] = {
      {"VLAN 100 asked, VLAN 100 came", tagged("00 64"), onVlan100, Mismatch::accepted},
      {"priority 5 on VLAN 100", tagged("a0 64"), onVlan100, Mismatch::accepted},
      {"VLAN 100 asked, VLAN 200 came", tagged("00 c8"), onVlan100, Mismatch::vlan},
      {"VLAN 100 asked, untagged came", bytes(lbr), onVlan100, Mismatch::vlan},
      {"untagged asked, VLAN 100 came", tagged("00 64"), lbrFilter, Mismatch::vlan},
      {"untagged asked, priority tag came", tagged("e0 00"), lbrFilter, Mismatch::accepted},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(stringValue(parseLoopbackReply(c.frame, c.filter).mismatch),
              stringValue(c.expected))
        << c.name;
  }
}

// An LTR at level 4, id 7, TTL 63, RlyFDB, FwdYes and TerminalMEP, then an LTR Egress
// Identifier TLV, a Reply Ingress TLV and a Reply Egress TLV with a port id.
const char ltr[] =
    "02 00 00 00 00 01 02 00 00 00 00 0a 89 02 "
    "80 04 60 06 00 00 00 07 3f 02 "
    "08 00 10 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
    "05 00 07 01 02 00 00 00 00 0b "
    "06 00 0a 02 02 00 00 00 00 0c 01 05 41 "
    "00";
const ReplyFilter ltrFilter{self, std::nullopt, std::nullopt, 4, 7, 1};

TEST(CfmToolFrames, LinktraceReplyReadsItsPortsAndMatchesItsTransaction) {
  const auto reply = parseLinktraceReply(bytes(ltr), ltrFilter).reply;
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->src, EthAddr(0x02, 0, 0, 0, 0, 0x0a));
  EXPECT_EQ(reply->replyTtl, 63);
  EXPECT_EQ(reply->relayAction, 2);
  EXPECT_TRUE(reply->fwdYes);
  EXPECT_TRUE(reply->terminalMep);
  ASSERT_TRUE(reply->ingress && reply->egress);
  EXPECT_EQ(reply->ingress->mac, EthAddr(0x02, 0, 0, 0, 0, 0x0b));
  EXPECT_EQ(reply->ingress->action, 1);
  EXPECT_EQ(reply->egress->mac, EthAddr(0x02, 0, 0, 0, 0, 0x0c));
  EXPECT_EQ(reply->egress->action, 2);

  const std::tuple<std::size_t, std::uint8_t, Mismatch> mutations[] = {
      {21, 8, Mismatch::transactionId},
      {15, 5, Mismatch::opCode},
      {14, 0xa0, Mismatch::level},
      {5, 0x0b, Mismatch::destination},
  };
  for (const auto& [offset, value, expected] : mutations) {
    Frame frame = bytes(ltr);
    frame[offset] = value;
    EXPECT_EQ(stringValue(parseLinktraceReply(frame, ltrFilter).mismatch), stringValue(expected))
        << offset;
  }
  // A Reply Ingress TLV too short for a MAC address is left out, not the reply.
  Frame shortIngress = bytes(ltr);
  shortIngress[45] = 2;
  shortIngress.erase(shortIngress.begin() + 48, shortIngress.begin() + 53);
  const auto partial = parseLinktraceReply(shortIngress, ltrFilter).reply;
  ASSERT_TRUE(partial);
  EXPECT_FALSE(partial->ingress);
  EXPECT_TRUE(partial->egress);
}

// Every prefix of the LTR: accepted exactly where a TLV ends, never read past its end (the
// sanitizer build sees to that: each prefix is a heap block of its own).
TEST(CfmToolFrames, TruncatedLinktraceReply) {
  const Frame whole = bytes(ltr);
  const std::size_t tlvEnds[] = {24, 43, 53, 66, 67};
  for (std::size_t n = 0; n <= whole.size(); ++n) {
    const Frame prefix(whole.begin(), whole.begin() + std::ptrdiff_t(n));
    Mismatch expected = Mismatch::malformedTlv;
    if (n < 18) {
      expected = Mismatch::notCfm;
    } else if (n < 24) {
      expected = Mismatch::tooShort;
    } else if (std::find(std::begin(tlvEnds), std::end(tlvEnds), n) != std::end(tlvEnds)) {
      expected = Mismatch::accepted;
    }
    EXPECT_EQ(stringValue(parseLinktraceReply(prefix, ltrFilter).mismatch),
              stringValue(expected))
        << n << " bytes";
  }
}

}  // namespace
