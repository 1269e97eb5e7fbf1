// What ping, dmm and slm print: a duplicate reply, a loss that is not a whole percentage,
// round-trip times and their deviation, and synthetic loss from a test's counters.

#include <gtest/gtest.h>

#include "apps/cfmtool/Report.h"

namespace {

using namespace CfmTool;

TEST(CfmToolReport, PingLinesAndSummaries) {
  const Lumen::EthAddr peer(0x02, 0, 0, 0, 0, 0x02);
  EXPECT_EQ(pingReplyLine(14, peer, 3, 0.1234, true), "14 bytes from 02:00:00:00:00:02: seq=3 time=0.123 ms (DUP!)");
  PingStats stats;
  for (int i = 0; i < 3; ++i) stats.transmittedInc();
  stats.replyIs(2.5);
  stats.replyIs(0.5);
  EXPECT_EQ(stats.summary(peer),
            "--- 02:00:00:00:00:02 cfm ping statistics ---\n3 transmitted, 2 received, 33.3333% loss\n"
            "rtt min/avg/max = 0.500/1.500/2.500 ms\n");
  // dmm's has the deviation.
  EXPECT_EQ(stats.delaySummary(peer),
            "--- 02:00:00:00:00:02 cfm dmm statistics ---\n3 transmitted, 2 received, 33.3333% loss\n"
            "delay min/avg/max/mdev = 0.500/1.500/2.500/1.000 ms\n");
}

// Replies as (TxFCf, TxFCb), in order of arrival, and the loss line they make.
TEST(CfmToolReport, SyntheticLossFromTheFirstAndLastReply) {
  using Replies = std::vector<std::pair<std::uint32_t, std::uint32_t>>;
  const std::pair<Replies, std::string> cases[] = {
      {{{1, 1}, {2, 2}, {3, 3}}, "far-end loss 0%, near-end loss 0%"},
      // SLMs 2 and 3 lost on the way out, the SLR to 5 on the way back: 5 sent over 1-6,
      // 3 answered, 2 of those back.
      {{{1, 10}, {4, 11}, {6, 13}}, "far-end loss 40%, near-end loss 33.3333%"},
      {{{6, 13}, {1, 10}, {4, 11}}, "far-end loss 40%, near-end loss 33.3333%"},  // reordered
      {{{1, 0xfffffffe}, {3, 0}}, "far-end loss 0%, near-end loss 50%"},  // the responder's count wraps
      {{{1, 1}, {2, 3}}, "far-end loss 0%, near-end loss 50%"},  // it counted one SLM twice
      {{{1, 1}}, "no loss ratios: they need two replies"},
  };
  for (const auto& [replies, line] : cases) {
    LossStats stats;
    for (std::uint32_t i = 0; i < 6; ++i) stats.transmittedInc();
    for (const auto& [txFcf, txFcb] : replies) stats.replyIs(txFcf, txFcb);
    EXPECT_EQ(stats.summary(Lumen::EthAddr(2, 0, 0, 0, 0, 2)),
              "--- 02:00:00:00:00:02 cfm slm statistics ---\n6 transmitted, " + std::to_string(replies.size()) +
                  " received\n" + line + "\n");
  }
}

}  // namespace
