// The daemon with the real agent on the in-memory wire: interfaces follow their devices,
// control requests read and change the state, and a replay moves the counters as live frames.

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <functional>
#include <optional>

#include "CfmAgent/CfmAgent.h"
#include "apps/cfmagentd/Daemon.h"
#include "apps/cfmagentd/Replay.h"
#include "apps/runner/StateJson.h"
#include "platform/intf/MemoryPam.h"
#include "platform/kiln/Clock.h"
#include "tests/apps/cfmagentd/TestUtil.h"
#include "tests/support/ErrorText.h"

namespace {

using Lumen::IntfId;
using nlohmann::json;
using namespace CfmagentdTest;

const IntfId et1("Ethernet1"), et2("Ethernet2");

Runner::RunnerConfig configOf(const json& j) { return Runner::parseText(j.dump(), "test.json"); }

class DaemonTest : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon.emplace(loop, configOf(demoConfig()));
    daemon->agentIs(CFM_AGENT_LIBRARY);
    loop.runUntilIdle();
  }

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
  Counts counts() { return CfmagentdTest::counts(request({{"op", "show"}})["state"]["counters"]); }
  std::string capture(const std::vector<Cfmagentd::PcapngFrame>& frames) { return writePcapng(dir / "in.pcapng", frames); }

  ScratchDir dir;
  Kiln::EventLoop& loop = Kiln::eventLoop();
  std::optional<Cfmagentd::Daemon> daemon;
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
      // A replay has every mapped interface and its device, whatever the kernel has; then the
      // kernel's again.
      {everyDevice(true), "Ethernet1=sw-a Ethernet2=sw-b | sw-a/0 sw-b/5 | Ethernet1 Ethernet2"},
      {everyDevice(false), "Ethernet2=sw-b | sw-b/5 | Ethernet2"},
      // Deleted and made again: another index.
      {device("sw-a", 9, true), "Ethernet1=sw-a Ethernet2=sw-b | sw-a/9 sw-b/5 | Ethernet1 Ethernet2"},
      // The map is the runner's, not the database's: nothing is written for it.
      {[&] { EXPECT_EQ(daemon->configIs(configOf(remapped)), std::vector<std::string>{}); },
       "Ethernet1=sw-a | sw-a/9 | Ethernet1"},
      {device("sw-c", 6, true), "Ethernet1=sw-a Ethernet2=sw-c | sw-a/9 sw-c/6 | Ethernet1 Ethernet2"},
  };
  for (std::size_t i = 0; i < steps.size(); ++i) {
    steps[i].first();
    loop.runUntilIdle();
    EXPECT_EQ(devices(), steps[i].second) << "step " << i;
  }
}

// A refused request says why, and a clear request does not stay pending. (That a request
// of any shape is answered with ok and, when refused, an error, and that only an accepted
// apply changes the database, fuzz_control requires of every input.)
TEST_F(DaemonTest, RefusedRequestsSayWhy) {
  EXPECT_EQ(request({{"op", "query"}, {"topic", "weather"}}),
            (json{{"ok", false}, {"error", "CfmAgent::Agent answers nothing about 'weather'"}}));
  auto dir = Kiln::ptrCast<Kiln::Dir>(daemon->manager().entity("cell/0/agent/commandRequest/config/cfmAgent"));
  ASSERT_TRUE(dir);
  EXPECT_EQ(request({{"op", "clear"}, {"command", "loopback,x"}}), (json{{"ok", false}, {"error", "stoi"}}));
  EXPECT_TRUE(dir->entity().empty());
  auto bad = demoConfig();
  bad["cfm"]["domains"].push_back({{"level", 5}, {"lvel", 1}});
  const auto answer = request({{"op", "apply"}, {"name", "bad.json"}, {"text", bad.dump()}});
  EXPECT_EQ(answer["ok"], false);
  EXPECT_EQ(answer.value("error", "").rfind("bad.json: cfm.domains[1].lvel: unknown key", 0), 0u) << answer.dump();
}

// The agent takes one frame per loop round: a burst between rounds overflows the socket's
// queue (56 frames, the oldest dropped, the agent's policy), and the state shows exactly
// what was shed, and a frame too long to queue, beside the MTU the kernel gave the device,
// or in a replay the configuration.
TEST_F(DaemonTest, FramesShedByAFullSocketQueueAreShown) {
  daemon->deviceIs("sw-a", 4, true, IF_OPER_UP, 9000);
  loop.runUntilIdle();
  auto& wire = Interface::memoryPamNetwork();
  wire.sentClear();
  for (std::uint32_t i = 0; i < 100; ++i) wire.inject(et1, ethernet(bridgeMac, hostA, 10, lbm(3, i)));
  wire.inject(et1, std::string(Lumen::Pkt::maxBytes + 1, 'x'));  // longer than a packet: not queued
  loop.runUntilIdle();
  EXPECT_EQ(counts()["Ethernet1/3/3/in"], 56u);
  ASSERT_EQ(wire.sent().size(), 56u);  // the oldest went: the first answered is the 45th
  EXPECT_EQ(wire.sent().front().bytes, ethernet(hostA, bridgeMac, 10, cfmHeader(3, 2, 0, 4) + u32(44) + '\0'));
  EXPECT_EQ(Runner::showSockets(request({{"op", "show"}})["state"]),
            "Interface   MTU  Rx frames  Rx queue drops  Rx truncated  Rx kernel drops  Tx frames  Tx errors\n"
            "---------  ----  ---------  --------------  ------------  ---------------  ---------  ---------\n"
            "Ethernet1  9000        100              44             1                0         56          0\n");
  // Asked for alone, a section comes alone.
  const json only = request({{"op", "show"}, {"sections", {"sockets", "databaseFill"}}})["state"];
  EXPECT_EQ(only.size(), 2u);
  EXPECT_EQ(only["sockets"], request({{"op", "show"}})["state"]["sockets"]);
  EXPECT_EQ(request({{"op", "show"}, {"sections", 5}})["ok"], false);
  daemon->deviceIs("sw-a", 4, false);  // its socket closes and leaves the section
  EXPECT_EQ(request({{"op", "show"}})["state"]["sockets"], json::object());
  // In a replay the configuration's MTU stands for the kernel's.
  auto jumbo = demoConfig();
  jumbo["interfaces"]["Ethernet2"] = {{"device", "sw-b"}, {"mtu", 9000}};
  daemon->configIs(configOf(jumbo));
  daemon->everyDevicePresentIs(true);
  EXPECT_EQ(request({{"op", "show"}})["state"]["sockets"]["Ethernet2"]["mtu"], 9000);
}

// A replay moves the counters as live frames would, and captures what the agent sent; a
// broken capture is refused before any frame, and an unknown interface stops it there.
TEST_F(DaemonTest, ReplayMovesTheCountersCapturesWhatWasSentAndStopsAtAFault) {
  daemon->everyDevicePresentIs(true);
  const auto frame = ethernet(ccmGroup(3), hostA, 10, ccm(3, 200));
  const auto broken = capture({{"Ethernet1", 1, frame}});
  writeFile(broken, readFile(broken).substr(0, readFile(broken).size() - 2));
  EXPECT_THROW(Cfmagentd::replay(*daemon, loop, broken, dir / "out.pcapng"), Cfmagentd::PcapngError);
  EXPECT_EQ(counts(), Counts{});

  const std::uint64_t t0 = 1700000000250000;
  // Interfaces by name, other spelling and kernel device, as captures name them.
  const auto in = capture({
      {"Ethernet1", t0, frame},
      {"sw-a", t0 + 1, ethernet(bridgeMac, hostA, 10, lbm(3, 7))},
      {"Et2", t0 + 2, std::string(13, '\x01')},
      {"sw-b", t0 + 3, ethernet(ccmGroup(5), hostA, 10, ccm(5, 200))},
  });
  const auto result = Cfmagentd::replay(*daemon, loop, in, dir / "out.pcapng");
  EXPECT_EQ(std::tuple(result.received, result.sent), std::tuple(4u, 1u));
  EXPECT_EQ(counts(), (Counts{{"Ethernet1/3/1/in", 1}, {"Ethernet1/3/3/in", 1}, {"Ethernet1/3/2/out", 1},
                              {"Ethernet2/8/0/in", 1}, {"Ethernet2/8/0/inErrorEthHdrTooShort", 1},
                              {"Ethernet2/5/1/in", 1}, {"Ethernet2/5/1/inErrorNoMpAtMdLevel", 1}}));
  // The agent's clock read the frame's time while it handled the frame, and is real again.
  auto status = Kiln::ptrCast<CfmAgent::Status>(daemon->manager().entity("cfm/status"));
  auto mep = status->ccmDb()->ccmMd(Cfm::MdLevel(3))->ccmMa(Cfm::MaName("demo-ma"))->ccmMepInfo(Cfm::MepId(200));
  EXPECT_EQ(mep->lastCcmReceivedTime(), double(t0) / 1e6);
  EXPECT_LT(std::abs(Kiln::now() - double(::time(nullptr))), 5.0);
  // What the agent sent, under its egress interface and the time of the frame it answered.
  EXPECT_EQ(Cfmagentd::readPcapng(dir / "out.pcapng"),
            (std::vector<Cfmagentd::PcapngFrame>{
                {"Ethernet1", t0 + 1, ethernet(hostA, bridgeMac, 10, cfmHeader(3, 2, 0, 4) + u32(7) + '\0')}}));

  for (const std::string name : {"Ethernet9", "sw-z", ""}) {
    capture({{"Ethernet1", 1, frame}, {name, 2, frame}, {"Ethernet1", 3, frame}});
    const auto before = counts()["Ethernet1/3/1/in"];
    EXPECT_EQ(errorOf<std::runtime_error>([&] { Cfmagentd::replay(*daemon, loop, in, dir / "out.pcapng"); }),
              in + ": frame 2: interface '" + name + "' is not in the configuration");
    // The frame before it was delivered, the one after it not.
    EXPECT_EQ(counts()["Ethernet1/3/1/in"], before + 1) << "'" << name << "'";
  }
}

}  // namespace
