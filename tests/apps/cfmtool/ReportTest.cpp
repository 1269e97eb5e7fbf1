// What ping prints: a duplicate reply, a loss that is not a whole percentage, round-trip times.

#include <gtest/gtest.h>

#include "apps/cfmtool/Report.h"

namespace {

using namespace CfmTool;

TEST(CfmToolReport, PingLinesAndSummary) {
  const Lumen::EthAddr peer(0x02, 0, 0, 0, 0, 0x02);
  EXPECT_EQ(pingReplyLine(14, peer, 3, 0.1234, true), "14 bytes from 02:00:00:00:00:02: seq=3 time=0.123 ms (DUP!)");
  PingStats stats;
  for (int i = 0; i < 3; ++i) stats.transmittedInc();
  stats.replyIs(2.5);
  stats.replyIs(0.5);
  EXPECT_EQ(stats.summary(peer),
            "--- 02:00:00:00:00:02 cfm ping statistics ---\n3 transmitted, 2 received, 33.3333% loss\n"
            "rtt min/avg/max = 0.500/1.500/2.500 ms\n");
}

}  // namespace
