// cfmagentd on a real kernel bridge: host A -- br0 -- host B in network namespaces, the
// daemon attached with --bridge. The bridge's ports, address and forwarding entries reach
// the state database as they change; the agent is the bridge's MIP (a ping to br0's MAC is
// answered once, a trace is relayed once and not flooded, CCMs still pass); its nftables
// table follows it through a clean stop and a crash.

#include <regex>

#include "tests/apps/cfmagentd/TestUtil.h"

namespace {

using RunnerTest::Args;
using nlohmann::json;

const std::string brMac = "02:00:00:00:00:01", hostAMac = "02:00:00:00:00:0a", hostBMac = "02:00:00:00:00:0b",
                  hostCMac = "02:00:00:00:00:0c";
const char* const cfmConfig = R"({
  "bridge": "br0",
  "cfm": { "domains": [ { "level": 3, "name": "demo-md", "defaultMip": true } ] },
  "aleStatus": [ { "level": 3, "defaultMip": true } ]
})";

class LinuxBridgeE2e : public RunnerTest::DaemonE2e {
 protected:
  void SetUp() override {
    DaemonE2e::SetUp();
    if (IsSkipped()) return;
    if (E2e::runCommand({"nft", "--version"}).status != 0) GTEST_SKIP() << "nft is missing: scripts/install-deps.sh";
    switch_->ip({"link", "add", "br0", "address", brMac, "type", "bridge"});
    switch_->ip({"link", "set", "br0", "up"});
    linkA_.emplace(*hostA_, "host-a", *switch_, "swp1");
    hostA_->ip({"link", "set", "host-a", "address", hostAMac});
    switch_->ip({"link", "set", "swp1", "master", "br0"});
    TestSupport::writeFile(dir_ / "cfm.json", cfmConfig);
  }
  void linkBIs() {
    linkB_.emplace(*hostB_, "host-b", *switch_, "swp2");
    hostB_->ip({"link", "set", "host-b", "address", hostBMac});
  }
  void startDaemon() { DaemonE2e::startDaemon({CFMAGENTD, "--bridge", "br0", "--config", dir_ / "cfm.json"}); }
  E2e::CommandResult ping(const E2e::Netns& ns, const char* device) const {
    return cfmtool(ns, {"ping", "--intf", device, "--dst", brMac, "--level", "3", "--count", "1"});
  }
};

json host(const json& s, const std::string& mac) {
  return s.value("/bridging/hosts/1"_json_pointer, json::object()).value(mac, json());
}
bool hasPort(const json& s, const std::string& intf) {
  return s.value("/bridging/switchports"_json_pointer, json::object()).contains(intf);
}

TEST_F(LinuxBridgeE2e, TheStateDatabaseFollowsTheBridgeAndTheTableTheAgent) {
  startDaemon();
  auto s = state();
  EXPECT_EQ(s["/bridging/bridgeMac"_json_pointer], brMac) << s.dump(2);
  EXPECT_EQ(s["/bridging/switchports"_json_pointer], R"({"Ethernet1": {"mode": "access", "portVlan": 1}})"_json);

  // Each change in the bridge, then what the state database must come to hold.
  const std::vector<std::tuple<std::string, std::function<void()>, std::function<bool(const json&)>>> steps = {
      {"port swp2 added", [&] { linkBIs(), switch_->ip({"link", "set", "swp2", "master", "br0"}); },
       [](const json& s) { return hasPort(s, "Ethernet2"); }},
      // Host B's first frame teaches the bridge where it is.
      {"host B learned", [&] { ASSERT_EQ(ping(*hostB_, "host-b").status, 0); },
       [](const json& s) { return host(s, hostBMac) == R"({"intf": "Ethernet2", "type": "learned"})"_json; }},
      {"static entry added",
       [&] { E2e::run(switch_->exec({"bridge", "fdb", "add", hostCMac, "dev", "swp1", "master", "static"})); },
       [](const json& s) { return host(s, hostCMac) == R"({"intf": "Ethernet1", "type": "configured"})"_json; }},
      {"host B deleted", [&] { E2e::run(switch_->exec({"bridge", "fdb", "del", hostBMac, "dev", "swp2", "master"})); },
       [](const json& s) { return host(s, hostBMac).is_null(); }},
      {"port swp2 removed", [&] { switch_->ip({"link", "set", "swp2", "nomaster"}); },
       [](const json& s) { return !hasPort(s, "Ethernet2"); }},
      // With an ageing time of a second, what host A taught is forgotten unprompted.
      {"host A learned", [&] {
         switch_->ip({"link", "set", "br0", "type", "bridge", "ageing_time", "100"});
         ASSERT_EQ(ping(*hostA_, "host-a").status, 0);
       }, [](const json& s) { return !host(s, hostAMac).is_null(); }},
      {"host A aged out", [] {}, [](const json& s) { return host(s, hostAMac).is_null(); }},
  };
  for (const auto& [what, act, holds] : steps) act(), until(what, holds);

  // The MIP's nftables table: left by a crash, replaced at the next start, gone after a stop.
  const std::string table = "table bridge cfmagentd_br0";
  const auto nftTables = [&] { return E2e::runCommand(switch_->exec({"nft", "list", "tables", "bridge"})).output; };
  const auto rules = [&] { return E2e::runCommand(switch_->exec({"nft", "list", "table", "bridge", "cfmagentd_br0"})).output; };
  EXPECT_NE(rules().find("iifname \"swp1\" ether daddr 01:80:c2:00:00:3b drop"), std::string::npos) << rules();
  daemon_->signal(SIGKILL);
  daemon_->wait();
  EXPECT_NE(nftTables().find(table), std::string::npos) << "a crash leaves the table: " << nftTables();
  // The levels changed meanwhile: the restarted agent's table holds only the new ones.
  TestSupport::writeFile(dir_ / "cfm.json", std::regex_replace(cfmConfig, std::regex("\"level\": 3"), "\"level\": 5"));
  ::unlink(socket().c_str());
  startDaemon();
  const std::string now = rules();
  EXPECT_NE(now.find("iifname \"swp1\" ether daddr 01:80:c2:00:00:3d drop"), std::string::npos) << now;
  EXPECT_EQ(now.find("3b"), std::string::npos) << now;
  daemon_->signal(SIGTERM);
  EXPECT_EQ(daemon_->wait(), 0) << daemon_->output();
  EXPECT_EQ(nftTables().find(table), std::string::npos) << nftTables();
}

TEST_F(LinuxBridgeE2e, TheAgentIsTheBridgesMip) {
  linkBIs();
  switch_->ip({"link", "set", "swp2", "master", "br0"});
  startDaemon();
  // Host B's ping teaches the bridge where it is; each ping is answered by the agent once.
  for (const auto& [ns, device] : {std::pair{&*hostB_, "host-b"}, {&*hostA_, "host-a"}}) {
    const auto r = ping(*ns, device);
    EXPECT_NE(r.output.find("1 transmitted, 1 received"), std::string::npos) << r.output;
  }
  until("host B learned", [](const json& s) { return !host(s, hostBMac).is_null(); });

  E2e::Background listen(hostB_->exec({CFMTOOL, "listen", "--intf", "host-b", "--count", "4", "--timeout", "10"}));
  ASSERT_TRUE(listen.waitFor("CFM LISTEN on host-b\n", 10)) << listen.output();
  const auto trace = cfmtool(*hostA_, {"trace", "--intf", "host-a", "--target", hostBMac, "--level", "3", "--ttl", "8",
                                       "--timeout", "2"});
  EXPECT_EQ(trace.status, 0) << trace.output;
  EXPECT_TRUE(std::regex_search(trace.output, std::regex("\n  7  " + brMac + "  RlyFDB .* FwdYes\n1 reply\n")))
      << trace.output;
  // The bridge forwards host A's frames in order: a flooded LTM would reach host B before
  // the CCMs sent after the trace.
  const auto ccm = cfmtool(*hostA_, {"ccm", "--intf", "host-a", "--level", "3", "--md-name", "demo-md", "--ma-name",
                                     "demo-ma", "--mep-id", "200", "--count", "3", "--interval", "0.01"});
  ASSERT_EQ(ccm.status, 0) << ccm.output;
  EXPECT_EQ(listen.wait(), 0) << listen.output();
  const std::string out = listen.output();
  const std::regex ltm(brMac + " > 01:80:c2:00:00:3b, level 3 LTM transaction [0-9]+ ttl 7 original "
                       "[0-9a-f:]{17} target " + hostBMac + "\n");
  EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), ltm), std::sregex_iterator()), 1) << out;
  const std::regex ccms(hostAMac + " > 01:80:c2:00:00:33, level 3 CCM");
  EXPECT_EQ(std::distance(std::sregex_iterator(out.begin(), out.end(), ccms), std::sregex_iterator()), 3) << out;

  until("host A's CCMs in the MIP CCM database", [](const json& s) {
    return s.value("/mipCcmDatabase/1"_json_pointer, json::object()).value(hostAMac, "") == "Ethernet1";
  });
  // Each frame the agent saw once: two LBMs answered with two LBRs, one LTM relayed with
  // one LTR, three CCMs.
  const RunnerTest::Counts expected = {
      {"Ethernet1/3/1/in", 3}, {"Ethernet1/3/3/in", 1}, {"Ethernet1/3/2/out", 1}, {"Ethernet1/3/5/in", 1},
      {"Ethernet1/3/4/out", 1}, {"Ethernet2/3/3/in", 1}, {"Ethernet2/3/2/out", 1}, {"Ethernet2/3/5/out", 1}};
  EXPECT_EQ(liveCounts(), expected);
}

}  // namespace
