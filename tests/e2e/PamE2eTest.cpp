// Packet access as the agent gets it: the socket manager opening AF_PACKET sockets on
// kernel devices across a veth pair. The receive queue's bound is the same for every device
// (PamTest); the daemon's end-to-end suite sends and receives through these sockets.

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <tuple>

#include "platform/intf/AfPacketPam.h"
#include "platform/intf/AfPacketSocket.h"
#include "platform/kiln/EventLoop.h"
#include "tests/support/Netns.h"
#include "tests/support/PeerFrames.h"
#include "tests/support/Sockets.h"

namespace {

using Interface::IntfId;
using Frames = std::vector<std::string>;
// A CCM carrying `seq` as its sequence number, so frames can be told apart.
std::string cfmFrame(std::uint32_t seq) {
  using namespace TestSupport;
  return ethernet(ccmGroup(3), hostB, 0, ccm(3, 1, "md", "ma", seq));
}

class PamE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
    switchNs_.emplace();
    hostNs_.emplace();
    link_.emplace(*switchNs_, "sw0", *hostNs_, "host0");
    host_ = hostNs_->inside([] { return std::make_unique<Interface::AfPacketSocket>("host0"); });
    desired_ = Kiln::make<Interface::PamDesiredIntfDir>("pdid");
    collection_ = Kiln::make<Interface::EthDevPamCollection>("edpc");
    devices_ = Kiln::make<Interface::DeviceIntfStatusDir>("disd");
    Interface::EthDevPamManager::defaultDeviceFactoryIs(
        Interface::afPacketDeviceFactory(Kiln::eventLoop()));
    manager_ = Kiln::make<Interface::EthDevPamManager>(desired_, collection_, devices_);
    Interface::EthDevPamManager::defaultDeviceFactoryIs(nullptr);
    // The agent's settings.
    manager_->rxQueueLimitIs(56);
    manager_->headDropPolicyIs(true);
    manager_->pktReuseIs(true);
    manager_->enableBulkPamReadIs(true);
    manager_->perIntfSocketIs(false);
    manager_->enabledIs(true);
  }
  void TearDown() override {
    manager_ = nullptr;  // closes the sockets inside the namespace's life
    host_.reset();
    Kiln::eventLoop().runUntilIdle();
  }

  // Sockets are opened in the namespace the thread is in when the interface is desired.
  Kiln::Ptr<Interface::Pam> open(const char* intf) {
    return switchNs_->inside([&] {
      devices_->deviceIntfStatusIs(IntfId(intf), "sw0", 0);
      desired_->intfDesiredIs(IntfId(intf), true);
      return collection_->intfPam(IntfId(intf));
    });
  }
  // Runs the loop until `done` holds or a generous deadline passes, then runs it dry; the
  // caller's assertions say what was seen instead.
  template <class Done>
  static void runUntil(Done done) {
    for (auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
         !done() && std::chrono::steady_clock::now() < deadline;) {
      Kiln::eventLoop().runOnce(10);
    }
    Kiln::eventLoop().runUntilIdle();
  }
  static Frames drain(Interface::Pam& pam) {
    Frames frames;
    while (auto pkt = pam.rxPkt()) frames.push_back(pkt->stringValue());
    return frames;
  }
  void hostSends(std::uint32_t seq) { ASSERT_TRUE(host_->send(TestSupport::span(cfmFrame(seq)))); }

  std::optional<E2e::Netns> switchNs_, hostNs_;
  std::optional<E2e::VethLink> link_;
  std::unique_ptr<Interface::AfPacketSocket> host_;
  Kiln::Ptr<Interface::PamDesiredIntfDir> desired_;
  Kiln::Ptr<Interface::EthDevPamCollection> collection_;
  Kiln::Ptr<Interface::DeviceIntfStatusDir> devices_;
  Kiln::Ptr<Interface::EthDevPamManager> manager_;
};

// A reader that takes one frame per notification and sends it straight back, as the agent's
// loopback responder does.
struct Echo : Interface::Pam::NotifieeConst {
  explicit Echo(Kiln::Ptr<Interface::Pam> pam) : Interface::Pam::NotifieeConst(pam), pam(std::move(pam)) {}
  void onReadableCount() override {
    if (auto pkt = pam->rxPkt()) frames.push_back(pkt->stringValue()), pam->txPkt(pkt);
  }
  Kiln::Ptr<Interface::Pam> pam;
  Frames frames;
};

// Interfaces on one device share its socket, each gets every frame, and the socket lives
// while one of them uses it. A burst of several queues' worth reaches a reader taking one
// frame per notification whole and in order: the socket reads no more than the queue has
// room for before the reader drains it, and what the reader sends in between leaves in
// order, none lost.
TEST_F(PamE2e, InterfacesShareADevicesSocketAndABurstReachesTheReaderWhole) {
  auto ethernet = open("Ethernet1");
  auto portChannel = open("Port-Channel1");
  ASSERT_TRUE(ethernet && portChannel);
  hostSends(1);
  hostSends(2);
  runUntil([&] { return ethernet->counters().rxFrames + portChannel->counters().rxFrames >= 4; });
  EXPECT_EQ(drain(*ethernet), (Frames{cfmFrame(1), cfmFrame(2)}));
  EXPECT_EQ(drain(*portChannel), (Frames{cfmFrame(1), cfmFrame(2)}));
  desired_->intfDesiredDel(IntfId("Ethernet1"));

  Echo echo(portChannel);
  constexpr std::uint32_t burst = 150;  // the queue holds 56, a kernel batch 64
  Frames sent;
  for (std::uint32_t seq = 0; seq < burst; ++seq) hostSends(seq), sent.push_back(cfmFrame(seq));
  runUntil([&] { return echo.frames.size() >= burst; });
  EXPECT_EQ(echo.frames, sent);
  const auto c = portChannel->counters();
  EXPECT_EQ(std::tuple(c.rxQueueDrops, c.rxKernelDrops, c.txFrames, c.txErrors), std::tuple(0u, 0u, burst, 0u));
  EXPECT_EQ(TestSupport::receiveFrames(*host_, burst), sent);
}

// What a kernel socket says fits is what the kernel sends: a frame as long as maxFrameBytes
// leaves, one byte longer is refused, untagged and under each kind of tag stack.
TEST_F(PamE2e, TheLongestFrameASocketAllowsIsTheLongestTheKernelSends) {
  auto pam = open("Ethernet1");
  ASSERT_TRUE(pam);
  pam->mtuIs(1500);  // the veth's
  const std::vector<std::uint16_t> stacks[] = {{}, {0x8100}, {0x8100, 0x8100}, {0x88a8}, {0x88a8, 0x8100}};
  for (const auto& tpids : stacks) {
    const std::uint32_t longest = pam->maxFrameBytes(tpids.size(), tpids.empty() ? 0 : tpids[0]);
    for (const std::uint32_t bytes : {longest, longest + 1}) {
      TestSupport::Frame f{TestSupport::ccmGroup(3), TestSupport::hostA, {}, 0x8902, ""};
      for (const auto tpid : tpids) f.tag(10, tpid);
      f.payload.resize(bytes - f.bytes().size());
      auto pkt = Lumen::pktManager().newPkt();
      pkt->stringValueIs(f.bytes(), false);
      EXPECT_EQ(pam->txPkt(pkt), bytes == longest) << ::testing::PrintToString(tpids) << " " << bytes;
    }
  }
}

}  // namespace
