// cfmagentd on a real kernel bridge: host A -- br0 -- host B in network namespaces, the
// daemon attached with --bridge. The agent is the bridge's MIP (a ping to br0's MAC is
// answered once, a trace is relayed once and not flooded, CCMs still pass); the bridge's
// ports, address and forwarding entries reach the state database as they change; its
// nftables table follows it through a crash and a clean stop.

#include <regex>

#include "tests/apps/cfmagentd/TestUtil.h"

namespace {

using CfmagentdTest::hostAMac;
using CfmagentdTest::hostBMac;
using nlohmann::json;

const std::string hostCMac = "02:00:00:00:00:0c";
const char* const cfmConfig = R"({
  "bridge": "br0",
  "cfm": { "domains": [ { "level": 3, "name": "demo-md", "defaultMip": true } ] },
  "aleStatus": [ { "level": 3, "defaultMip": true } ]
})";

class LinuxBridgeE2e : public CfmagentdTest::DaemonE2e {
 protected:
  void SetUp() override {
    DaemonE2e::SetUp();
    if (IsSkipped()) return;
    if (E2e::runCommand({"nft", "--version"}).status != 0) GTEST_SKIP() << "nft is missing: scripts/install-deps.sh";
    switch_->ip({"link", "add", "br0", "address", CfmagentdTest::switchMac, "type", "bridge"});
    switch_->ip({"link", "set", "br0", "up"});
    linkA_.emplace(*hostA_, "host-a", *switch_, ports_[0]);
    linkB_.emplace(*hostB_, "host-b", *switch_, ports_[1]);
    hostA_->ip({"link", "set", "host-a", "address", hostAMac});
    hostB_->ip({"link", "set", "host-b", "address", hostBMac});
    for (const auto& port : ports_) switch_->ip({"link", "set", port, "master", "br0"});
    TestSupport::writeFile(dir_ / "cfm.json", cfmConfig);
  }
  void startDaemon() { DaemonE2e::startDaemon({"--bridge", "br0", "--config", dir_ / "cfm.json"}); }
  std::vector<std::string> ports_ = {"swp1", "swp2"};
};

// Ports whose names end in no number.
class LinuxBridgeUnnumberedE2e : public LinuxBridgeE2e {
 protected:
  LinuxBridgeUnnumberedE2e() { ports_ = {"pb", "pa"}; }
};

json host(const json& s, const std::string& mac) {
  return s.value("/bridging/hosts/1"_json_pointer, json::object()).value(mac, json());
}
bool hasPort(const json& s, const std::string& intf) {
  return s.value("/bridging/switchports"_json_pointer, json::object()).contains(intf);
}

TEST_F(LinuxBridgeE2e, TheAgentIsTheBridgesMipFollowsItAndItsTableFollowsTheAgent) {
  startDaemon();
  auto s = state();
  EXPECT_EQ(s["/bridging/bridgeMac"_json_pointer], CfmagentdTest::switchMac) << s.dump(2);
  EXPECT_EQ(s["/bridging/switchports"_json_pointer],
            R"({"Ethernet1": {"device": "swp1", "mode": "access", "portVlan": 1},
                "Ethernet2": {"device": "swp2", "mode": "access", "portVlan": 1}})"_json);

  // Host B's ping teaches the bridge where it is; each ping is answered by the agent once.
  EXPECT_EQ(pingAnswered(*hostB_, "host-b"), "answered");
  EXPECT_EQ(pingAnswered(*hostA_, "host-a"), "answered");
  until("host B learned", [](const json& s) { return host(s, hostBMac) == R"({"intf": "Ethernet2", "type": "learned"})"_json; });
  // The bridge forwards host A's frames in order: a flooded LTM would reach host B before
  // the CCMs sent after the trace.
  const std::string heard = traceHostB(4, [&] { sendCcms(*hostA_, "host-a", {"--count", "3", "--interval", "0.01"}); });
  EXPECT_EQ(CfmagentdTest::occurrences(heard, relayedLtm), 1) << heard;
  EXPECT_EQ(CfmagentdTest::occurrences(heard, hostAMac + " > 01:80:c2:00:00:33, level 3 CCM"), 3) << heard;
  until("host A's CCMs in the MIP CCM database", [](const json& s) {
    return s.value("/mipCcmDatabase/1"_json_pointer, json::object()).value(hostAMac, "") == "Ethernet1";
  });
  // Each frame the agent saw once: four LBMs answered with four LBRs, one LTM relayed with
  // one LTR, three CCMs.
  countsAre({{"Ethernet1/3/1/in", 3}, {"Ethernet1/3/3/in", 2}, {"Ethernet1/3/2/out", 2}, {"Ethernet1/3/5/in", 1},
             {"Ethernet1/3/4/out", 1}, {"Ethernet2/3/3/in", 2}, {"Ethernet2/3/2/out", 2}, {"Ethernet2/3/5/out", 1}});

  // Each change in the bridge, then what the state database must come to hold.
  const std::vector<std::tuple<std::string, std::function<void()>, std::function<bool(const json&)>>> steps = {
      {"static entry added",
       [&] { E2e::run(switch_->exec({"bridge", "fdb", "add", hostCMac, "dev", "swp1", "master", "static"})); },
       [](const json& s) { return host(s, hostCMac) == R"({"intf": "Ethernet1", "type": "configured"})"_json; }},
      {"host B deleted", [&] { E2e::run(switch_->exec({"bridge", "fdb", "del", hostBMac, "dev", "swp2", "master"})); },
       [](const json& s) { return host(s, hostBMac).is_null(); }},
      {"port swp2 removed", [&] { switch_->ip({"link", "set", "swp2", "nomaster"}); },
       [](const json& s) { return !hasPort(s, "Ethernet2"); }},
      {"port swp2 added", [&] { switch_->ip({"link", "set", "swp2", "master", "br0"}); },
       [](const json& s) { return hasPort(s, "Ethernet2"); }},
      // With an ageing time of a second, what host A taught is forgotten unprompted.
      {"host A learned", [&] {
         switch_->ip({"link", "set", "br0", "type", "bridge", "ageing_time", "100"});
         EXPECT_EQ(pingAnswered(*hostA_, "host-a"), "answered");
       }, [](const json& s) { return !host(s, hostAMac).is_null(); }},
      {"host A aged out", [] {}, [](const json& s) { return host(s, hostAMac).is_null(); }},
  };
  for (const auto& [what, act, holds] : steps) act(), until(what, holds);

  // The MIP's nftables table: left by a crash, replaced at the next start, gone after a stop.
  const std::string table = "table bridge cfmagentd_br0";
  const auto nftTables = [&] { return E2e::runCommand(switch_->exec({"nft", "list", "tables", "bridge"})).output; };
  const auto rules = [&] { return E2e::runCommand(switch_->exec({"nft", "list", "table", "bridge", "cfmagentd_br0"})).output; };
  EXPECT_NE(rules().find("iifname { \"swp1\", \"swp2\" } ether daddr 01:80:c2:00:00:3b drop"), std::string::npos) << rules();
  daemon_->signal(SIGKILL);
  daemon_->wait();
  EXPECT_NE(nftTables().find(table), std::string::npos) << "a crash leaves the table: " << nftTables();
  // The levels changed meanwhile: the restarted agent's table holds only the new ones. It
  // takes over the control socket file the crash left.
  TestSupport::writeFile(dir_ / "cfm.json", std::regex_replace(cfmConfig, std::regex("\"level\": 3"), "\"level\": 5"));
  startDaemon();
  const std::string now = rules();
  EXPECT_NE(now.find("iifname { \"swp1\", \"swp2\" } ether daddr 01:80:c2:00:00:3d drop"), std::string::npos) << now;
  EXPECT_EQ(now.find("3b"), std::string::npos) << now;
  daemon_->signal(SIGTERM);
  EXPECT_EQ(daemon_->wait(), 0) << daemon_->output();
  EXPECT_EQ(nftTables().find(table), std::string::npos) << nftTables();
}

// They are interfaces in the order of their names, and the agent answers on them.
TEST_F(LinuxBridgeUnnumberedE2e, PortsWithoutANumberAreInterfacesToo) {
  startDaemon();
  EXPECT_EQ(state()["/bridging/switchports"_json_pointer],
            R"({"Ethernet1": {"device": "pa", "mode": "access", "portVlan": 1},
                "Ethernet2": {"device": "pb", "mode": "access", "portVlan": 1}})"_json);
  EXPECT_EQ(pingAnswered(*hostB_, "host-b"), "answered");
}

}  // namespace
