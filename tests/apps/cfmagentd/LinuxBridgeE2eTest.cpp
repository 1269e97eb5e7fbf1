// cfmagentd on a real kernel bridge: host A -- br0 -- host B in network namespaces, the
// daemon attached with --bridge. The bridge's ports, address and forwarding entries reach
// the state database as they change; the agent is the bridge's MIP (a ping to br0's MAC is
// answered once, a trace is relayed once and not flooded, CCMs still pass); its nftables
// table follows it through a clean stop and a crash.

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tests/apps/cfmagentd/TestUtil.h"
#include "tests/support/Netns.h"

namespace {

using Args = std::vector<std::string>;
using nlohmann::json;
using namespace std::chrono_literals;

const std::string brMac = "02:00:00:00:00:01", hostAMac = "02:00:00:00:00:0a", hostBMac = "02:00:00:00:00:0b";
const char* const cfmConfig = R"({
  "bridge": "br0",
  "cfm": { "domains": [ { "level": 3, "name": "demo-md", "defaultMip": true } ] },
  "aleStatus": [ { "level": 3, "defaultMip": true } ]
})";

class LinuxBridgeE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
    if (E2e::runCommand({"nft", "--version"}).status != 0) GTEST_SKIP() << "nft is missing: scripts/install-deps.sh";
    hostA_.emplace();
    switch_.emplace();
    hostB_.emplace();
    switch_->ip({"link", "add", "br0", "address", brMac, "type", "bridge"});
    switch_->ip({"link", "set", "br0", "up"});
    linkA_.emplace(*hostA_, "host-a", *switch_, "swp1");
    hostA_->ip({"link", "set", "host-a", "address", hostAMac});
    switch_->ip({"link", "set", "swp1", "master", "br0"});
    TestSupport::writeFile(dir_ / "cfm.json", cfmConfig);
  }
  void TearDown() override {
    if (daemon_ && HasFailure()) {
      daemon_->signal(SIGTERM);
      daemon_->wait();
      std::cerr << "cfmagentd said:\n" << daemon_->output();
    }
    daemon_.reset();
    linkA_.reset();
    linkB_.reset();
  }

  void linkBIs() {
    linkB_.emplace(*hostB_, "host-b", *switch_, "swp2");
    hostB_->ip({"link", "set", "host-b", "address", hostBMac});
  }
  void startDaemon() {
    daemon_.emplace(switch_->exec({CFMAGENTD, "--bridge", "br0", "--config", dir_ / "cfm.json", "--control", socket()}));
    ASSERT_TRUE(daemon_->waitFor("running;", 10)) << daemon_->output();
  }
  std::string socket() const { return dir_ / "control.sock"; }
  E2e::CommandResult cfmtool(const E2e::Netns& ns, Args args) const {
    args.insert(args.begin(), CFMTOOL);
    return E2e::runCommand(ns.exec(args));
  }
  json state() const {
    return json::parse(E2e::runCommand({CFMCTL, "--socket", socket(), "show", "--json"}).output, nullptr, false);
  }
  // How long until `holds` is true of the state export; fails after five seconds.
  std::chrono::milliseconds until(const std::string& what, const std::function<bool(const json&)>& holds) const {
    const auto start = std::chrono::steady_clock::now();
    json now;
    while (!holds(now = state())) {
      if (std::chrono::steady_clock::now() - start > 5s) {
        ADD_FAILURE() << what << " never happened; the state:\n" << now.dump(2);
        break;
      }
      std::this_thread::sleep_for(2ms);
    }
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  }

  RunnerTest::ScratchDir dir_;
  std::optional<E2e::Netns> hostA_, switch_, hostB_;
  std::optional<E2e::VethLink> linkA_, linkB_;
  std::optional<E2e::Background> daemon_;
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

  std::vector<std::pair<std::string, std::chrono::milliseconds>> took;
  auto step = [&](const std::string& what, const std::function<void()>& act, const std::function<bool(const json&)>& holds) {
    act();
    took.emplace_back(what, until(what, holds));
  };
  step("port swp2 added", [&] { linkBIs(), switch_->ip({"link", "set", "swp2", "master", "br0"}); },
       [](const json& s) { return hasPort(s, "Ethernet2"); });
  // Host B's first frame teaches the bridge where it is.
  step("host B learned", [&] {
    ASSERT_EQ(cfmtool(*hostB_, {"ping", "--intf", "host-b", "--dst", brMac, "--level", "3", "--count", "1"}).status, 0);
  }, [](const json& s) { return host(s, hostBMac) == R"({"intf": "Ethernet2", "type": "learned"})"_json; });
  step("static entry added", [&] {
    E2e::run(switch_->exec({"bridge", "fdb", "add", "02:00:00:00:00:0c", "dev", "swp1", "master", "static"}));
  }, [](const json& s) { return host(s, "02:00:00:00:00:0c") == R"({"intf": "Ethernet1", "type": "configured"})"_json; });
  step("host B deleted", [&] {
    E2e::run(switch_->exec({"bridge", "fdb", "del", hostBMac, "dev", "swp2", "master"}));
  }, [](const json& s) { return host(s, hostBMac).is_null(); });
  step("port swp2 removed", [&] { switch_->ip({"link", "set", "swp2", "nomaster"}); },
       [](const json& s) { return !hasPort(s, "Ethernet2"); });
  // Aged out: with an ageing time of a second, what host A taught is forgotten unprompted.
  switch_->ip({"link", "set", "br0", "type", "bridge", "ageing_time", "100"});
  step("host A learned", [&] {
    ASSERT_EQ(cfmtool(*hostA_, {"ping", "--intf", "host-a", "--dst", brMac, "--level", "3", "--count", "1"}).status, 0);
  }, [](const json& s) { return !host(s, hostAMac).is_null(); });
  took.emplace_back("host A aged out", until("host A aged out", [](const json& s) { return host(s, hostAMac).is_null(); }));
  for (const auto& [what, ms] : took) std::cerr << what << ": in the state database after " << ms.count() << " ms\n";

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
  for (const auto& [ns, device, intf] : {std::tuple{&*hostB_, "host-b", "Ethernet2"}, {&*hostA_, "host-a", "Ethernet1"}}) {
    const auto ping = cfmtool(*ns, {"ping", "--intf", device, "--dst", brMac, "--level", "3", "--count", "1"});
    EXPECT_EQ(ping.status, 0) << ping.output;
    EXPECT_NE(ping.output.find("1 transmitted, 1 received"), std::string::npos) << ping.output;
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
  EXPECT_EQ(RunnerTest::counts(state()["counters"]), expected);
}

}  // namespace
