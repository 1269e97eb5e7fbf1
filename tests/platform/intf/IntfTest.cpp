// The socket manager on the in-memory wire, with a device factory that can fail: which
// changes of a device keep its socket and which make a new one. (The agent's use of the
// manager, its queue and its sockets following devices, is DaemonTest's and the agent
// suites'; the manager's sockets on a kernel device, PamE2e's.)

#include <gtest/gtest.h>

#include "platform/intf/EthDevPamManager.h"
#include "platform/intf/MemoryPam.h"
#include "platform/kiln/EventLoop.h"

namespace {

using namespace Interface;

TEST(PamManager, FactoryFailuresLeaveNoSocketAndADeviceChangeReopens) {
  auto desired = Kiln::make<PamDesiredIntfDir>("pdid");
  auto collection = Kiln::make<EthDevPamCollection>("edpc");
  auto devices = Kiln::make<DeviceIntfStatusDir>("disd");
  EthDevPamManager::defaultDeviceFactoryIs(
      [](EthDevPam& pam, const DeviceIntfStatus* device, const PamSettings&) -> std::unique_ptr<PamDevice> {
        if (!device) return nullptr;
        if (device->deviceName() == "bad") throw std::runtime_error("no such device bad");
        return memoryPamNetwork().deviceIs(pam);
      });
  auto manager = Kiln::make<EthDevPamManager>(desired, collection, devices);
  EthDevPamManager::defaultDeviceFactoryIs(nullptr);
  manager->enabledIs(true);
  const IntfId et6("Ethernet6");
  const auto open = [&] { return desired->intfDesiredIs(et6, true), collection->intfPam(et6); };
  EXPECT_FALSE(open());  // no device yet
  devices->deviceIntfStatusIs(et6, "bad", 3);
  EXPECT_FALSE(collection->intfPam(et6));  // the factory threw
  devices->deviceIntfStatusIs(et6, "veth6", 7);
  auto first = collection->intfPam(et6);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->mtu(), 1500u);
  EXPECT_EQ(open(), first);  // desired again: the same socket
  devices->deviceIntfStatusIs(et6, "veth6", 7, 9000);  // another MTU: the same socket
  EXPECT_EQ(collection->intfPam(et6), first);
  EXPECT_EQ(first->mtu(), 9000u);
  EXPECT_EQ(first->maxFrameBytes(2), 9022u);
  auto pkt = Lumen::pktManager().newPkt();
  pkt->stringValueIs("FRAME", false);
  EXPECT_TRUE(first->txPkt(pkt));
  devices->deviceIntfStatusIs(et6, "veth6", 8, 9000);  // a new index: a new socket
  auto second = collection->intfPam(et6);
  EXPECT_TRUE(second && second != first && first->closed());
  EXPECT_EQ(second->mtu(), 9000u);
  EXPECT_FALSE(first->txPkt(pkt));  // the closed one counts what it could not send
  EXPECT_EQ(std::pair(first->counters().txFrames, first->counters().txErrors), std::pair(1ul, 1ul));
  manager = nullptr;
  Kiln::eventLoop().runUntilIdle();
}

}  // namespace
