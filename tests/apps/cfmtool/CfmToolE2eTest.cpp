// cfmtool as an operator runs it: in one network namespace, across a veth pair to a scapy
// peer in another that answers and records, with tshark decoding what the tool sent.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "tests/support/Netns.h"
#include "tests/support/Scratch.h"
#include "tests/support/Tshark.h"

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
    toolMac_ = E2e::runCommand(toolNs_->exec({"cat", "/sys/class/net/tool0/address"})).output.substr(0, 17);
  }
  void TearDown() override { peer_.reset(); }

  E2e::CommandResult tool(Args args) const {
    args.insert(args.begin(), CFMTOOL);
    return E2e::runCommand(toolNs_->exec(args));
  }
  // The frames of `opcode` the peer recorded, as tshark decodes `fields`.
  std::vector<std::string> decoded(int opcode, Args fields) {
    peer_.reset();  // every frame is on disk
    fields.insert(fields.begin(), "cfm.opcode");
    std::vector<std::string> frames;
    for (const auto& line : TestSupport::tsharkFields(dir_ / "received.pcap", fields)) {
      if (line.rfind(std::to_string(opcode) + "\t", 0) == 0) frames.push_back(line.substr(line.find('\t') + 1));
    }
    return frames;
  }

  std::optional<E2e::Netns> toolNs_, peerNs_;
  std::optional<E2e::VethLink> link_;
  std::optional<Background> peer_;
  std::string peerMac_, toolMac_;
  TestSupport::ScratchDir dir_;
};

TEST_F(CfmToolE2e, ExitsOneWithoutRepliesTwoOnSystemErrorsAndZeroOnASignal) {
  auto r = tool({"trace", "--intf", "tool0", "--target", peerMac_, "--timeout", "0.2"});
  EXPECT_EQ(r.status, 1) << r.output;
  EXPECT_NE(r.output.find("no linktrace replies\n"), std::string::npos) << r.output;

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

// Ping, trace and CCMs against the peer: what the tool prints of the replies, and what it
// sent that no reply shows, as tshark decodes it.
TEST_F(CfmToolE2e, PingTraceAndCcmAgainstAPeer) {
  ASSERT_EQ(std::system("/usr/bin/python3 -c 'import scapy' 2>/dev/null"), 0)
      << "python3-scapy is missing: scripts/install-deps.sh installs it";
  peer_.emplace(peerNs_->exec(
      {"/usr/bin/python3", CFM_PEER, "--iface", "peer0", "--pcap", dir_ / "received.pcap", "--skip", "3"}));
  ASSERT_TRUE(peer_->waitFor("ready\n", 20)) << peer_->output();

  auto r = tool({"ping", "--intf", "tool0", "--dst", peerMac_, "--count", "5", "--interval", "0.05", "--level", "2",
                 "--vlan", "100", "--size", "40", "--timeout", "0.5"});
  EXPECT_EQ(r.status, 0) << r.output;
  // The decoys (another transaction id, another level) are not replies; the third LBM has
  // none. 52 bytes: header and id 8, Data TLV 43, End 1. The peer answers an LBM in its own
  // level, tags, Data TLV and transaction id: the replies show what the LBMs carried (their
  // layout byte for byte: FramesTest).
  const std::regex reply("(^|\n)52 bytes from " + peerMac_ + ": seq=([0-9]+) time=[0-9]+\\.[0-9]{3} ms(?=\n)");
  std::string seqs;
  for (std::sregex_iterator it(r.output.begin(), r.output.end(), reply), end; it != end; ++it) seqs += (*it)[2];
  EXPECT_EQ(seqs, "1245") << r.output;
  EXPECT_NE(r.output.find("\n5 transmitted, 4 received, 20% loss\n"), std::string::npos) << r.output;

  r = tool({"trace", "--intf", "tool0", "--target", "02:00:00:00:00:99", "--ttl", "10", "--level", "5", "--timeout",
            "1"});
  EXPECT_EQ(r.status, 0) << r.output;
  // The peer sent the farther hop first, and a decoy with another transaction id.
  EXPECT_NE(r.output.find("  9  02:00:00:00:00:aa  RlyFDB   ingress 02:00:00:00:00:a1 IngOK  egress "
                          "02:00:00:00:00:a2 EgrDown  FwdYes\n  8  02:00:00:00:00:bb  RlyHit   ingress "
                          "02:00:00:00:00:bb IngOK  TerminalMEP\n2 replies\n"),
            std::string::npos) << r.output;

  r = tool({"ccm", "--intf", "tool0", "--level", "6", "--md-name", "DOMAIN", "--ma-name", "MA-ONE", "--mep-id", "42",
            "--vlan", "7", "--count", "3", "--interval", "0.01"});
  EXPECT_NE(r.output.find("3 CCMs sent\n"), std::string::npos) << r.output;
  EXPECT_TRUE(peer_->waitFor("recorded 9\n", 10)) << peer_->output();  // 5 LBMs, an LTM, 3 CCMs

  EXPECT_EQ(decoded(5, {"eth.dst", "cfm.md.level", "cfm.first.tlv.offset", "cfm.lt.ttl", "cfm.ltm.orig.addr",
                        "cfm.ltm.targ.addr", "cfm.tlv.type", "cfm.tlv.ltm.egress.id.mac"}),
            std::vector<std::string>{"01:80:c2:00:00:3d\t5\t17\t10\t" + toolMac_ + "\t02:00:00:00:00:99\t7,0\t" +
                                     toolMac_});
  std::vector<std::string> ccms;
  for (const char* seq : {"1", "2", "3"}) {
    ccms.push_back("01:80:c2:00:00:36\t7\t6\t70\t2\t" + std::string(seq) + "\t42\t4\tDOMAIN\t2\tMA-ONE");
  }
  EXPECT_EQ(decoded(1, {"eth.dst", "vlan.id", "cfm.md.level", "cfm.first.tlv.offset", "cfm.flags.interval",
                        "cfm.ccm.seq.num", "cfm.ccm.ma.ep.id", "cfm.maid.md.name.format", "cfm.maid.md.name.string",
                        "cfm.maid.ma.name.format", "cfm.maid.ma.name.string"}),
            ccms);
}

}  // namespace
