// The daemon with the real agent on the in-memory wire: interfaces get status entries (and
// the agent its sockets) as their devices come and go, control requests read and change
// the state, and capture names map to interfaces.

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "CfmAgent/CfmAgent.h"
#include "apps/cfmagentd/Daemon.h"
#include "apps/runner/StateJson.h"
#include "platform/agent/CommandRequest.h"
#include "platform/intf/MemoryPam.h"
#include "tests/apps/cfmagentd/TestUtil.h"

namespace {

using Lumen::IntfId;
using RunnerTest::Counts;

const IntfId et1("Ethernet1"), et2("Ethernet2");

Runner::RunnerConfig configOf(const nlohmann::json& json) {
  return Runner::parseText(json.dump(), "test.json");
}

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override { daemon.emplace(loop, configOf(RunnerTest::demoConfig())); }
  void TearDown() override { daemon.reset(); }

  void start() {
    daemon->agentIs(CFM_AGENT_LIBRARY);
    loop.runUntilIdle();
  }
  // Interface -> device of the status entries.
  std::map<std::string, std::string> statusEntries() {
    std::map<std::string, std::string> out;
    auto dir = Kiln::ptrCast<Interface::AllIntfStatusDir>(daemon->manager().entity("interface/status/all"));
    for (const auto& [intf, status] : dir->intfStatus()) out[intf.stringValue()] = status->deviceName();
    return out;
  }
  std::map<std::string, int> kernelDevices() {
    std::map<std::string, int> out;
    auto kni = Kiln::ptrCast<KernelNetInfo::Status>(daemon->manager().entity("kni/ns/default/status"));
    for (const auto& [name, device] : kni->device()) out[name] = device->ifIndex();
    return out;
  }
  std::vector<std::string> openSockets() const {
    std::vector<std::string> out;
    for (auto intf : {et1, et2}) {
      if (wire().isOpen(intf)) out.push_back(intf.stringValue());
    }
    return out;
  }
  static Interface::MemoryPamNetwork& wire() { return Interface::memoryPamNetwork(); }
  void deviceIs(const std::string& name, int ifIndex, bool present) {
    daemon->deviceIs(name, ifIndex, present);
    loop.runUntilIdle();
  }
  void send(IntfId intf, const std::string& frame) {
    ASSERT_TRUE(wire().inject(intf, frame)) << intf;
    loop.runUntilIdle();
  }
  nlohmann::json request(const nlohmann::json& r) {
    auto answer = daemon->handleRequest(r);
    loop.runUntilIdle();
    return answer;
  }
  Counts counts() { return RunnerTest::counts(request({{"op", "show"}})["state"]["counters"]); }

  Kiln::EventLoop& loop = Kiln::eventLoop();
  std::optional<Runner::Daemon> daemon;
};

TEST_F(DaemonTest, InterfacesFollowTheirDevices) {
  start();
  using Entries = std::map<std::string, std::string>;
  using Devices = std::map<std::string, int>;
  using Sockets = std::vector<std::string>;
  EXPECT_EQ(statusEntries(), Entries{});
  EXPECT_EQ(openSockets(), Sockets{});

  deviceIs("sw-a", 4, true);
  EXPECT_EQ(statusEntries(), (Entries{{"Ethernet1", "sw-a"}}));
  EXPECT_EQ(kernelDevices(), (Devices{{"sw-a", 4}}));
  EXPECT_EQ(openSockets(), Sockets{"Ethernet1"});

  deviceIs("eth0", 1, true);  // nobody's device
  EXPECT_EQ(kernelDevices(), (Devices{{"sw-a", 4}}));
  EXPECT_EQ(statusEntries(), (Entries{{"Ethernet1", "sw-a"}}));

  deviceIs("sw-b", 5, true);
  EXPECT_EQ(statusEntries(), (Entries{{"Ethernet1", "sw-a"}, {"Ethernet2", "sw-b"}}));
  EXPECT_EQ(openSockets(), (Sockets{"Ethernet1", "Ethernet2"}));

  deviceIs("sw-a", 4, false);
  EXPECT_EQ(statusEntries(), (Entries{{"Ethernet2", "sw-b"}}));
  EXPECT_EQ(kernelDevices(), (Devices{{"sw-b", 5}}));
  EXPECT_EQ(openSockets(), Sockets{"Ethernet2"});

  // A device that comes back with another index (deleted and made again).
  deviceIs("sw-a", 9, true);
  EXPECT_EQ(kernelDevices(), (Devices{{"sw-a", 9}, {"sw-b", 5}}));
  EXPECT_EQ(openSockets(), (Sockets{"Ethernet1", "Ethernet2"}));

  // A replay has every mapped interface, whatever the kernel has; then the kernel's again.
  deviceIs("sw-a", 9, false);
  daemon->everyDevicePresentIs(true);
  loop.runUntilIdle();
  EXPECT_EQ(statusEntries(), (Entries{{"Ethernet1", "sw-a"}, {"Ethernet2", "sw-b"}}));
  EXPECT_EQ(openSockets(), (Sockets{"Ethernet1", "Ethernet2"}));
  daemon->everyDevicePresentIs(false);
  loop.runUntilIdle();
  EXPECT_EQ(statusEntries(), (Entries{{"Ethernet2", "sw-b"}}));
  EXPECT_EQ(openSockets(), Sockets{"Ethernet2"});
}

TEST_F(DaemonTest, ARemappedInterfaceMovesToItsNewDevice) {
  start();
  deviceIs("sw-a", 4, true);
  deviceIs("sw-b", 5, true);
  auto json = RunnerTest::demoConfig();
  json["interfaces"]["Ethernet2"] = "sw-c";
  // The map is the runner's, not the database's: nothing is written for it.
  EXPECT_EQ(daemon->configIs(configOf(json)), std::vector<std::string>{});
  loop.runUntilIdle();
  EXPECT_EQ(statusEntries(), (std::map<std::string, std::string>{{"Ethernet1", "sw-a"}}));
  EXPECT_EQ(kernelDevices(), (std::map<std::string, int>{{"sw-a", 4}}));
  EXPECT_EQ(openSockets(), std::vector<std::string>{"Ethernet1"});

  deviceIs("sw-c", 6, true);
  EXPECT_EQ(statusEntries(), (std::map<std::string, std::string>{{"Ethernet1", "sw-a"}, {"Ethernet2", "sw-c"}}));
  EXPECT_EQ(openSockets(), (std::vector<std::string>{"Ethernet1", "Ethernet2"}));
  EXPECT_EQ(daemon->intfOf("sw-c"), et2);
  EXPECT_EQ(daemon->intfOf("sw-b"), std::nullopt);
}

TEST_F(DaemonTest, ShowAnswersWithTheStateExport) {
  start();
  daemon->everyDevicePresentIs(true);
  loop.runUntilIdle();
  send(et2, std::string(13, 'x'));
  send(et1, RunnerTest::ethernet(RunnerTest::ccmGroup(3), RunnerTest::hostA, 10, RunnerTest::ccm(3, 200)));
  const auto answer = request({{"op", "show"}});
  EXPECT_EQ(answer["ok"], true);
  for (const char* section : {"counters", "ccmDatabase", "mipCcmDatabase", "aleConfig", "mdStatus"}) {
    EXPECT_TRUE(answer["state"].contains(section)) << section;
  }
  EXPECT_EQ(RunnerTest::counts(answer["state"]["counters"]),
            (Counts{{"Ethernet1/3/1/in", 1}, {"Ethernet2/8/0/in", 1}, {"Ethernet2/8/0/inErrorEthHdrTooShort", 1}}));
}

TEST_F(DaemonTest, ApplyWritesTheDifferenceOrRefusesAndChangesNothing) {
  start();
  daemon->everyDevicePresentIs(true);
  loop.runUntilIdle();
  const auto ccm5 = RunnerTest::ethernet(RunnerTest::ccmGroup(5), RunnerTest::hostA, 10, RunnerTest::ccm(5, 200));
  send(et1, ccm5);
  EXPECT_EQ(counts(), (Counts{{"Ethernet1/5/1/in", 1}, {"Ethernet1/5/1/inErrorNoMpAtMdLevel", 1}}));

  // A domain with a default MIP at level 5: the next CCM there is taken.
  auto json = RunnerTest::demoConfig();
  json["cfm"]["domains"].push_back({{"level", 5}, {"name", "md5"}, {"defaultMip", true}});
  const auto changed = request({{"op", "apply"}, {"name", "new.json"}, {"text", json.dump()}});
  ASSERT_EQ(changed["ok"], true) << changed.dump();
  EXPECT_FALSE(changed["writes"].empty());
  send(et1, ccm5);
  EXPECT_EQ(counts(), (Counts{{"Ethernet1/5/1/in", 2}, {"Ethernet1/5/1/inErrorNoMpAtMdLevel", 1}}));
  const auto again = request({{"op", "apply"}, {"name", "new.json"}, {"text", json.dump()}});
  EXPECT_EQ(again, (nlohmann::json{{"ok", true}, {"writes", nlohmann::json::array()}}));

  struct Refused {
    std::string text;
    std::string error;
  };
  auto level9 = json;
  level9["cfm"]["domains"][0]["level"] = 9;
  // Valid up to its last domain: nothing of the first part may be written either.
  auto lateFault = json;
  lateFault["cfm"]["domains"][0]["defaultMip"] = false;
  lateFault["cfm"]["domains"][1]["lvel"] = 1;
  const std::vector<Refused> refused = {
      {level9.dump(), "bad.json: cfm.domains[0].level: 9 is not an MD level (0-7)"},
      {lateFault.dump(), "bad.json: cfm.domains[1].lvel: unknown key"},
      {"{\n}\n}", "bad.json:3:1: "},
  };
  const auto before = request({{"op", "show"}})["state"];
  const auto configBefore = daemon->config();
  for (const auto& r : refused) {
    const auto answer = request({{"op", "apply"}, {"name", "bad.json"}, {"text", r.text}});
    EXPECT_EQ(answer["ok"], false) << r.error;
    EXPECT_EQ(answer.value("error", "").rfind(r.error, 0), 0u) << answer.dump();
    EXPECT_EQ(request({{"op", "show"}})["state"], before) << r.error;
    EXPECT_TRUE(daemon->config() == configBefore) << r.error;
  }
  // What the database holds is still the accepted file.
  EXPECT_EQ(request({{"op", "apply"}, {"name", "new.json"}, {"text", json.dump()}})["writes"],
            nlohmann::json::array());
}

TEST_F(DaemonTest, RequestsItDoesNotKnowAreRefused) {
  start();
  for (const auto& r : {nlohmann::json{{"op", "reboot"}}, nlohmann::json::object(), nlohmann::json{{"op", 5}},
                        nlohmann::json{{"op", "clear"}}, nlohmann::json{{"op", "apply"}, {"text", 5}},
                        nlohmann::json::array({"show"}), nlohmann::json("show")}) {
    const auto answer = daemon->handleRequest(r);
    EXPECT_EQ(answer["ok"], false) << r.dump();
    EXPECT_FALSE(answer.value("error", "").empty()) << r.dump();
  }
}

// Watches the command-request directory: every request stored there, kept for inspection.
class RequestWatcher : public Kiln::Dir::NotifieeConst {
 public:
  using Kiln::Dir::NotifieeConst::NotifieeConst;
  void onEntity(const std::string& name) override {
    if (auto r = Kiln::ptrCast<Agent::CommandRequest>(notifier()->entity(name))) seen.push_back(r);
  }
  std::vector<Kiln::Ptr<Agent::CommandRequest>> seen;
};

class RecordingCallback : public Agent::AgentCommandCallback {
 public:
  RecordingCallback(std::string type, std::string failWith)
      : Agent::AgentCommandCallback("test", std::move(type)), failWith_(std::move(failWith)) {}
  void handleCommand(std::uint32_t, const std::string& command) override {
    commands.push_back(command);
    if (!failWith_.empty()) throw std::runtime_error(failWith_);
  }
  std::vector<std::string> commands;

 private:
  std::string failWith_;
};

TEST_F(DaemonTest, ClearPassesTheCommandToTheAgentAndAnswersWithItsOutcome) {
  start();
  auto dir = Kiln::ptrCast<Kiln::Dir>(daemon->manager().entity("cell/0/agent/commandRequest/config/cfmAgent"));
  ASSERT_TRUE(dir);
  RequestWatcher watcher(dir);

  // Whatever the agent does with it today, the answer tells its outcome.
  const auto answer = request({{"op", "clear"}, {"command", ",,Ethernet1"}});
  ASSERT_EQ(watcher.seen.size(), 1u);
  const auto first = watcher.seen[0];
  EXPECT_EQ(first->command(), ",,Ethernet1");
  switch (first->state()) {
    case Agent::CommandRequest::State::done:
      EXPECT_EQ(answer, (nlohmann::json{{"ok", true}}));
      break;
    case Agent::CommandRequest::State::failed:
      EXPECT_EQ(answer, (nlohmann::json{{"ok", false}, {"error", first->error()}}));
      break;
    case Agent::CommandRequest::State::pending:
      EXPECT_EQ(answer["ok"], false);
      EXPECT_FALSE(answer.value("error", "").empty());
      break;
  }
  EXPECT_TRUE(dir->entity().empty()) << "the request stays behind";

  // With a handler of that command type, done and failed come back as they are.
  auto agent = Kiln::ptrCast<CfmAgent::Agent>(daemon->agent());
  ASSERT_TRUE(agent && agent->cliRequestDirSm());
  auto ok = Kiln::make<RecordingCallback>(first->commandType(), "");
  agent->cliRequestDirSm()->agentCommandCallbackIs(ok);
  EXPECT_EQ(request({{"op", "clear"}, {"command", "loopback,3,Ethernet1,Ethernet2"}}), (nlohmann::json{{"ok", true}}));
  EXPECT_EQ(ok->commands, std::vector<std::string>{"loopback,3,Ethernet1,Ethernet2"});
  auto failing = Kiln::make<RecordingCallback>(first->commandType(), "no such level");
  agent->cliRequestDirSm()->agentCommandCallbackIs(failing);
  EXPECT_EQ(request({{"op", "clear"}, {"command", ",9,Ethernet1"}}),
            (nlohmann::json{{"ok", false}, {"error", "no such level"}}));
  EXPECT_TRUE(dir->entity().empty());
  // Each request had a name of its own.
  ASSERT_EQ(watcher.seen.size(), 3u);
  EXPECT_NE(watcher.seen[1]->name(), watcher.seen[2]->name());
}

TEST_F(DaemonTest, CaptureNamesMapToInterfaces) {
  auto json = RunnerTest::demoConfig();
  // A device named like another interface: the device wins, as a capture names devices.
  json["interfaces"]["Ethernet3"] = "eth1";
  daemon.emplace(loop, configOf(json));
  const std::vector<std::pair<std::string, std::optional<IntfId>>> cases = {
      {"Ethernet1", et1},  {"Et1", et1},   {"ethernet2", et2}, {"sw-a", et1},
      {"sw-b", et2},       {"eth1", IntfId("Ethernet3")},      {"Ethernet4", std::nullopt},
      {"sw-z", std::nullopt}, {"", std::nullopt}, {"Port-Channel1", std::nullopt},
      {"Vlan10", std::nullopt},
  };
  for (const auto& [name, intf] : cases) EXPECT_EQ(daemon->intfOf(name), intf) << "'" << name << "'";
}

}  // namespace
