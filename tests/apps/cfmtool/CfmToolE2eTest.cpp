// cfmtool as an operator runs it, in one network namespace across a veth pair from another
// that answers nothing: its exit statuses and what it says. (Against a peer that answers,
// the daemon's e2e suite runs its ping, trace, dmm, slm and ccm against cfmagentd; its
// frames and reply filters, and tshark's reading of the frames, are FramesTest's.)

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/Netns.h"

namespace {

using Args = std::vector<std::string>;
using E2e::Background;

class CfmToolE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
    toolNs_.emplace(), peerNs_.emplace();
    link_.emplace(*toolNs_, "tool0", *peerNs_, "peer0");
    // "ip netns exec" mounts the namespace's own /sys.
    peerMac_ = E2e::runCommand(peerNs_->exec({"cat", "/sys/class/net/peer0/address"})).output.substr(0, 17);
  }
  E2e::CommandResult tool(Args args) const {
    args.insert(args.begin(), CFMTOOL);
    return E2e::runCommand(toolNs_->exec(args));
  }

  std::optional<E2e::Netns> toolNs_, peerNs_;
  std::optional<E2e::VethLink> link_;
  std::string peerMac_;
};

TEST_F(CfmToolE2e, ExitsOneWithoutRepliesTwoOnSystemErrorsAndZeroOnASignal) {
  auto r = tool({"trace", "--intf", "tool0", "--target", peerMac_, "--timeout", "0.2"});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("no linktrace replies\n"), std::string::npos) << r.output;
  r = tool({"ping", "--intf", "tool0", "--dst", peerMac_, "--count", "2", "--interval", "0.01", "--timeout", "0.2"});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("\n2 transmitted, 0 received, 100% loss\n"), std::string::npos) << r.output;

  r = tool({"ping", "--intf", "nosuch0", "--dst", peerMac_});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output, "cfmtool ping: cannot open packet socket on nosuch0: No such device\n");
  // 1488 data bytes make an LBM of 1500 bytes; the tag does not count against the MTU.
  r = tool({"ping", "--intf", "tool0", "--dst", peerMac_, "--size", "1489", "--vlan", "5"});
  EXPECT_EQ(r.status, 2);
  EXPECT_EQ(r.output, "cfmtool ping: --size: 1489 data bytes do not fit the MTU of tool0 (at most 1488)\n");

  r = E2e::runCommand(toolNs_->exec({"setpriv", "--bounding-set=-net_raw", "--inh-caps=-net_raw", CFMTOOL,
                                     "trace", "--intf", "tool0", "--target", peerMac_}));
  EXPECT_EQ(r.status, 2);
  EXPECT_NE(r.output.find("cfmtool trace: cannot open packet socket on tool0 (needs CAP_NET_RAW)"), std::string::npos)
      << r.output;

  for (const int sig : {SIGINT, SIGTERM}) {
    Background ccm(toolNs_->exec(
        {CFMTOOL, "ccm", "--intf", "tool0", "--level", "1", "--md-name", "D", "--ma-name", "M", "--mep-id", "1"}));
    // Signalled as soon as it runs, possibly before its first CCM.
    ASSERT_TRUE(ccm.waitFor("CFM CCM to", 5)) << ccm.output();
    ccm.signal(sig);
    EXPECT_EQ(ccm.wait(), 0) << sig << ": " << ccm.output();
    EXPECT_TRUE(std::regex_search(ccm.output(), std::regex("\n[0-9]+ CCMs? sent\n"))) << ccm.output();
  }
}

}  // namespace
