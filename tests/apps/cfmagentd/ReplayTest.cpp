// Replay: a capture's frames reach the agent on the interfaces it names and move the
// counters as live frames do; what the agent sends is captured under its egress interface.

#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "CfmAgent/CfmAgent.h"
#include "apps/cfmagentd/Pcapng.h"
#include "apps/cfmagentd/Replay.h"
#include "apps/runner/StateJson.h"
#include "platform/kiln/Clock.h"
#include "tests/apps/cfmagentd/TestUtil.h"
#include "tests/support/Tshark.h"

namespace {

using namespace RunnerTest;

// Stands in for the loopback engine: answers each LBM handed to it with a fixed frame on
// the interface it came in on, and notes the clock as the agent read it meanwhile.
class Answerer : public CfmAgent::ProtocolPkt::NotifieeConst {
 public:
  Answerer(Kiln::Ptr<CfmAgent::ProtocolPkt> slot, Kiln::Ptr<Interface::EthDevPamCollection> pams)
      : CfmAgent::ProtocolPkt::NotifieeConst(std::move(slot)), pams_(std::move(pams)) {}
  void onReadableCount() override {
    const auto& record = notifier()->pktMetaData();
    if (!record) return;
    clock.push_back(Kiln::now());
    auto pkt = Lumen::pktManager().newPkt();
    pkt->stringValueIs(reply, false);
    pams_->intfPam(record->intf())->txPkt(pkt);
  }
  static inline const std::string reply = ethernet(hostA, bridgeMac, 10, "reply");
  std::vector<double> clock;

 private:
  Kiln::Ptr<Interface::EthDevPamCollection> pams_;
};

class ReplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    daemon.emplace(loop, Runner::parseText(readFile(CFM_DEMO_CONFIG), "demo.json"));
    daemon->everyDevicePresentIs(true);
    daemon->agentIs(CFM_AGENT_LIBRARY);
    auto agent = Kiln::ptrCast<CfmAgent::Agent>(daemon->agent());
    answerer.emplace(agent->protocolPktCollection()->protocolPkt(Cfm::protocolLoopback), agent->ethDevPamCollection());
  }
  void TearDown() override {
    answerer.reset();
    daemon.reset();
  }
  // A capture of (interface, time, bytes) frames.
  std::string capture(const std::vector<std::tuple<std::string, std::uint64_t, std::string>>& frames) {
    Runner::PcapngWriter writer(dir / "in.pcapng");
    for (const auto& [intf, time, bytes] : frames) writer.write(intf, time, bytes);
    writer.flush();
    return dir / "in.pcapng";
  }
  Counts counts() { return RunnerTest::counts(Runner::stateJson(daemon->manager())["counters"]); }

  ScratchDir dir;
  Kiln::EventLoop& loop = Kiln::eventLoop();
  std::optional<Runner::Daemon> daemon;
  std::optional<Answerer> answerer;
};

TEST_F(ReplayTest, FramesOnTwoInterfacesMoveTheDocumentedCounters) {
  const std::uint64_t t0 = 1700000000250000;
  // Interfaces by name, other spelling and kernel device, as captures name them.
  const auto in = capture({
      {"Ethernet1", t0, ethernet(ccmGroup(3), hostA, 10, ccm(3, 200))},
      {"sw-a", t0 + 1, ethernet(bridgeMac, hostA, 10, lbm(3, 7))},
      {"Et2", t0 + 2, std::string(13, '\x01')},
      {"sw-b", t0 + 3, ethernet(ccmGroup(5), hostA, 10, ccm(5, 200))},
      {"sw-b", t0 + 4, ethernet(ccmGroup(3), mac(0x01005e000001), 10, ccm(3, 200))},
      {"sw-b", t0 + 5, ethernet(ccmGroup(3), hostA, 10, ccm(3, 200), 0x88a8)},
      {"sw-b", t0 + 6, ethernet(ccmGroup(4), hostA, 10, ccm(3, 200))},
  });
  const auto result = Runner::replay(*daemon, loop, in, dir / "out.pcapng");
  EXPECT_EQ(result.received, 7u);
  EXPECT_EQ(result.sent, 1u);
  EXPECT_EQ(counts(), (Counts{
                          {"Ethernet1/3/1/in", 1},
                          {"Ethernet1/3/3/in", 1},
                          {"Ethernet2/8/0/in", 3},
                          {"Ethernet2/8/0/inErrorEthHdrTooShort", 1},
                          {"Ethernet2/8/0/inErrorSrcMacNotUnicast", 1},
                          {"Ethernet2/8/0/inErrorNotCfmEtherType", 1},
                          {"Ethernet2/5/1/in", 1},
                          {"Ethernet2/5/1/inErrorNoMpAtMdLevel", 1},
                          {"Ethernet2/3/1/in", 1},
                          {"Ethernet2/3/1/inErrorDstMacMdLevelMismatch", 1},
                      }));
  // The agent's clock read the frame's time while it handled the frame, and is real again.
  EXPECT_EQ(answerer->clock, std::vector<double>{double(t0 + 1) / 1e6});
  EXPECT_LT(std::abs(Kiln::now() - double(::time(nullptr))), 5.0);

  // What the agent sent, under its egress interface and the time of the frame it answered.
  EXPECT_EQ(Runner::readPcapng(dir / "out.pcapng"),
            (std::vector<Runner::PcapngFrame>{{"Ethernet1", t0 + 1, Answerer::reply}}));
  EXPECT_EQ(tsharkFields(dir / "out.pcapng", {"frame.interface_name", "eth.src", "vlan.id"}),
            std::vector<std::string>{"Ethernet1\t02:00:00:00:00:01\t10"});
}

TEST_F(ReplayTest, AnUnknownInterfaceStopsTheReplayAtItsFrame) {
  const auto frame = ethernet(ccmGroup(3), hostA, 10, ccm(3, 200));
  for (const std::string name : {"Ethernet9", "sw-z", ""}) {
    const auto in = capture({{"Ethernet1", 1, frame}, {name, 2, frame}, {"Ethernet1", 3, frame}});
    auto before = counts();
    try {
      Runner::replay(*daemon, loop, in, dir / "out.pcapng");
      ADD_FAILURE() << "'" << name << "' accepted";
    } catch (const std::runtime_error& e) {
      EXPECT_EQ(std::string(e.what()), in + ": frame 2: interface '" + name + "' is not in the configuration");
    }
    // The frame before it was delivered, the one after it not.
    EXPECT_EQ(counts()["Ethernet1/3/1/in"], before["Ethernet1/3/1/in"] + 1) << "'" << name << "'";
  }
}

TEST_F(ReplayTest, ABrokenCaptureIsRefusedBeforeAnyFrame) {
  const auto in = capture({{"Ethernet1", 1, ethernet(ccmGroup(3), hostA, 10, ccm(3, 200))}});
  writeFile(in, readFile(in).substr(0, readFile(in).size() - 2));
  EXPECT_THROW(Runner::replay(*daemon, loop, in, dir / "out.pcapng"), Runner::PcapngError);
  EXPECT_EQ(counts(), Counts{});
}

}  // namespace
