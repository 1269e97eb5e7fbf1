// What ping and trace print.

#include <gtest/gtest.h>

#include "apps/cfmtool/Report.h"

namespace {

using namespace CfmTool;
using Lumen::EthAddr;

TEST(CfmToolReport, PingSummary) {
  const EthAddr peer(0x02, 0, 0, 0, 0, 0x02);
  PingStats stats;
  for (int i = 0; i < 3; ++i) stats.transmittedInc();
  EXPECT_EQ(stats.summary(peer), "--- 02:00:00:00:00:02 cfm ping statistics ---\n3 transmitted, 0 received, 100% loss\n");
  stats.replyIs(2.5);
  stats.replyIs(0.5);
  EXPECT_EQ(stats.summary(peer),
            "--- 02:00:00:00:00:02 cfm ping statistics ---\n3 transmitted, 2 received, 33.3333% loss\n"
            "rtt min/avg/max = 0.500/1.500/2.500 ms\n");
  EXPECT_EQ(pingReplyLine(14, peer, 3, 0.1234, true), "14 bytes from 02:00:00:00:00:02: seq=3 time=0.123 ms (DUP!)");
}

TEST(CfmToolReport, TraceByDescendingTtlWithNamedActions) {
  using Port = LinktraceReply::Port;
  const EthAddr a(2, 0, 0, 0, 0, 0xa), b(2, 0, 0, 0, 0, 0xb), c(2, 0, 0, 0, 0, 0xc);
  EXPECT_EQ(traceReport({{b, 62, 1, false, true, Port{b, 1}, std::nullopt},
                         {a, 63, 3, true, false, Port{a, 4}, Port{c, 3}},
                         {c, 62, 9, false, false, std::nullopt, Port{c, 7}}}),
            " 63  02:00:00:00:00:0a  RlyMPDB  ingress 02:00:00:00:00:0a IngVID  egress 02:00:00:00:00:0c EgrBlocked  FwdYes\n"
            " 62  02:00:00:00:00:0b  RlyHit   ingress 02:00:00:00:00:0b IngOK  TerminalMEP\n"
            " 62  02:00:00:00:00:0c  Rly(9)   egress 02:00:00:00:00:0c Egr(7)\n");
}

}  // namespace
