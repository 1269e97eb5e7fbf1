// The daemon with the real agent on the in-memory wire: interfaces get status entries (and
// the agent its sockets) as their devices come and go, control requests read and change
// the state, and capture names map to interfaces.

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "CfmAgent/CfmAgent.h"
#include "apps/cfmagentd/Daemon.h"
#include "platform/agent/CommandRequest.h"
#include "platform/intf/MemoryPam.h"
#include "tests/apps/cfmagentd/TestUtil.h"

namespace {

using Lumen::IntfId;
using nlohmann::json;
using namespace RunnerTest;

const IntfId et1("Ethernet1"), et2("Ethernet2");

Runner::RunnerConfig configOf(const json& j) { return Runner::parseText(j.dump(), "test.json"); }

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon.emplace(loop, configOf(demoConfig()));
    daemon->agentIs(CFM_AGENT_LIBRARY);
    loop.runUntilIdle();
  }
  void TearDown() override { daemon.reset(); }

  // The status entries (interface=device), the kernel devices (name/ifIndex) and the
  // interfaces whose socket is open.
  std::string devices() {
    std::string s;
    auto all = Kiln::ptrCast<Interface::AllIntfStatusDir>(daemon->manager().entity("interface/status/all"));
    for (const auto& [intf, status] : all->intfStatus()) s += intf.stringValue() + "=" + status->deviceName() + " ";
    s += "|";
    auto kni = Kiln::ptrCast<KernelNetInfo::Status>(daemon->manager().entity("kni/ns/default/status"));
    for (const auto& [name, device] : kni->device()) s += " " + name + "/" + std::to_string(device->ifIndex());
    s += " |";
    for (auto intf : {et1, et2}) s += Interface::memoryPamNetwork().isOpen(intf) ? " " + intf.stringValue() : "";
    return s;
  }
  json request(const json& r) {
    auto answer = daemon->handleRequest(r);
    loop.runUntilIdle();
    return answer;
  }
  Counts counts() { return RunnerTest::counts(request({{"op", "show"}})["state"]["counters"]); }

  Kiln::EventLoop& loop = Kiln::eventLoop();
  std::optional<Runner::Daemon> daemon;
};

TEST_F(DaemonTest, InterfacesFollowTheirDevices) {
  const auto device = [this](const char* name, int ifIndex, bool present) {
    return [=, this] { daemon->deviceIs(name, ifIndex, present); };
  };
  const auto everyDevice = [this](bool present) { return [=, this] { daemon->everyDevicePresentIs(present); }; };
  auto remapped = demoConfig();
  remapped["interfaces"]["Ethernet2"] = "sw-c";
  const std::vector<std::pair<std::function<void()>, std::string>> steps = {
      {[] {}, "| |"},
      {device("sw-a", 4, true), "Ethernet1=sw-a | sw-a/4 | Ethernet1"},
      {device("eth0", 1, true), "Ethernet1=sw-a | sw-a/4 | Ethernet1"},  // nobody's device
      {device("sw-b", 5, true), "Ethernet1=sw-a Ethernet2=sw-b | sw-a/4 sw-b/5 | Ethernet1 Ethernet2"},
      {device("sw-a", 4, false), "Ethernet2=sw-b | sw-b/5 | Ethernet2"},
      // Deleted and made again: another index.
      {device("sw-a", 9, true), "Ethernet1=sw-a Ethernet2=sw-b | sw-a/9 sw-b/5 | Ethernet1 Ethernet2"},
      {device("sw-a", 9, false), "Ethernet2=sw-b | sw-b/5 | Ethernet2"},
      // A replay has every mapped interface, whatever the kernel has; then the kernel's again.
      {everyDevice(true), "Ethernet1=sw-a Ethernet2=sw-b | sw-b/5 | Ethernet1 Ethernet2"},
      {everyDevice(false), "Ethernet2=sw-b | sw-b/5 | Ethernet2"},
      {device("sw-a", 4, true), "Ethernet1=sw-a Ethernet2=sw-b | sw-a/4 sw-b/5 | Ethernet1 Ethernet2"},
      // The map is the runner's, not the database's: nothing is written for it.
      {[&] { EXPECT_EQ(daemon->configIs(configOf(remapped)), std::vector<std::string>{}); },
       "Ethernet1=sw-a | sw-a/4 | Ethernet1"},
      {device("sw-c", 6, true), "Ethernet1=sw-a Ethernet2=sw-c | sw-a/4 sw-c/6 | Ethernet1 Ethernet2"},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    steps[i].first();
    loop.runUntilIdle();
    EXPECT_EQ(devices(), steps[i].second) << "step " << i;
  }
}

TEST_F(DaemonTest, ApplyWritesTheDifferenceOrRefusesAndChangesNothing) {
  daemon->everyDevicePresentIs(true);
  loop.runUntilIdle();
  const auto ccm5 = ethernet(ccmGroup(5), hostA, 10, ccm(5, 200));
  const auto send = [&] {
    ASSERT_TRUE(Interface::memoryPamNetwork().inject(et1, ccm5));
    loop.runUntilIdle();
  };
  send();
  EXPECT_EQ(counts(), (Counts{{"Ethernet1/5/1/in", 1}, {"Ethernet1/5/1/inErrorNoMpAtMdLevel", 1}}));

  // A domain with a default MIP at level 5: the next CCM there is taken.
  auto good = demoConfig();
  good["cfm"]["domains"].push_back({{"level", 5}, {"name", "md5"}, {"defaultMip", true}});
  const json apply = {{"op", "apply"}, {"name", "new.json"}, {"text", good.dump()}};
  const auto changed = request(apply);
  ASSERT_EQ(changed["ok"], true) << changed.dump();
  EXPECT_FALSE(changed["writes"].empty());
  send();
  EXPECT_EQ(counts(), (Counts{{"Ethernet1/5/1/in", 2}, {"Ethernet1/5/1/inErrorNoMpAtMdLevel", 1}}));
  EXPECT_EQ(request(apply), (json{{"ok", true}, {"writes", json::array()}}));

  auto level9 = good;
  level9["cfm"]["domains"][0]["level"] = 9;
  // Valid up to its last domain: nothing of the first part may be written either.
  auto lateFault = good;
  lateFault["cfm"]["domains"][0]["defaultMip"] = false;
  lateFault["cfm"]["domains"][1]["lvel"] = 1;
  const std::pair<std::string, std::string> refused[] = {
      {level9.dump(), "bad.json: cfm.domains[0].level: 9 is not an MD level (0-7)"},
      {lateFault.dump(), "bad.json: cfm.domains[1].lvel: unknown key"},
      {"{\n}\n}", "bad.json:3:1: "},
  };
  const auto before = request({{"op", "show"}})["state"];
  const auto configBefore = daemon->config();
  for (const auto& [text, error] : refused) {
    const auto answer = request({{"op", "apply"}, {"name", "bad.json"}, {"text", text}});
    EXPECT_EQ(answer["ok"], false) << error;
    EXPECT_EQ(answer.value("error", "").rfind(error, 0), 0u) << answer.dump();
    EXPECT_EQ(request({{"op", "show"}})["state"], before) << error;
    EXPECT_TRUE(daemon->config() == configBefore) << error;
  }
  // What the database holds is still the accepted file.
  EXPECT_EQ(request(apply)["writes"], json::array());
}

TEST_F(DaemonTest, WrongShapedRequestsAreAnsweredNotThrown) {
  for (const auto& r : {json{{"op", "reboot"}}, json::object(), json{{"op", 5}}, json{{"op", "clear"}},
                        json{{"op", "apply"}, {"text", 5}}, json::array({"show"}), json("show")}) {
    const auto answer = request(r);
    EXPECT_EQ(answer["ok"], false) << r.dump();
    EXPECT_FALSE(answer.value("error", "").empty()) << r.dump();
  }
}

class RecordingCallback : public Agent::AgentCommandCallback {
 public:
  RecordingCallback() : Agent::AgentCommandCallback("test", "CfmCliCallback") {}
  void handleCommand(std::uint32_t, const std::string& command) override {
    commands.push_back(command);
    if (!failWith.empty()) throw std::runtime_error(failWith);
  }
  std::vector<std::string> commands;
  std::string failWith;
};

TEST_F(DaemonTest, ClearGoesToTheAgentAndIsAnsweredWithItsOutcome) {
  auto dir = Kiln::ptrCast<Kiln::Dir>(daemon->manager().entity("cell/0/agent/commandRequest/config/cfmAgent"));
  ASSERT_TRUE(dir);
  // The agent has no handler of clear commands yet: the request stays pending.
  EXPECT_EQ(request({{"op", "clear"}, {"command", ",,Ethernet1"}}),
            (json{{"ok", false}, {"error", "the agent does not handle clear commands yet"}}));

  auto handler = Kiln::make<RecordingCallback>();
  Kiln::ptrCast<CfmAgent::Agent>(daemon->agent())->cliRequestDirSm()->agentCommandCallbackIs(handler);
  EXPECT_EQ(request({{"op", "clear"}, {"command", "loopback,3,Ethernet1"}}), (json{{"ok", true}}));
  handler->failWith = "no such level";
  EXPECT_EQ(request({{"op", "clear"}, {"command", ",9,Ethernet1"}}), (json{{"ok", false}, {"error", "no such level"}}));
  EXPECT_EQ(handler->commands, (std::vector<std::string>{"loopback,3,Ethernet1", ",9,Ethernet1"}));
  EXPECT_TRUE(dir->entity().empty()) << "a request stays behind";
}

TEST_F(DaemonTest, CaptureNamesMapToInterfaces) {
  auto config = demoConfig();
  // A device named like another interface: the device wins, as a capture names devices.
  config["interfaces"]["Ethernet3"] = "eth1";
  daemon.emplace(loop, configOf(config));
  const std::pair<std::string, std::optional<IntfId>> cases[] = {
      {"Ethernet1", et1}, {"Et1", et1}, {"ethernet2", et2}, {"sw-a", et1}, {"sw-b", et2},
      {"eth1", IntfId("Ethernet3")}, {"Ethernet4", std::nullopt}, {"sw-z", std::nullopt}, {"", std::nullopt},
      {"Port-Channel1", std::nullopt}, {"Vlan10", std::nullopt},
  };
  for (const auto& [name, intf] : cases) EXPECT_EQ(daemon->intfOf(name), intf) << "'" << name << "'";
}

}  // namespace
