#include <gtest/gtest.h>

#include "platform/intf/EthDevPamManager.h"
#include "platform/intf/MemoryPam.h"
#include "platform/kiln/EventLoop.h"

namespace {

using namespace Interface;

class PamTest : public ::testing::Test {
 protected:
  void SetUp() override { manager->enabledIs(true); }
  void TearDown() override {
    manager = nullptr;
    Kiln::eventLoop().runUntilIdle();
  }
  Kiln::Ptr<Pam> open(const char* name) {
    desired->intfDesiredIs(IntfId(name), true);
    return collection->intfPam(IntfId(name));
  }
  static bool inject(const char* intf, const std::string& frame) {
    return memoryPamNetwork().inject(IntfId(intf), frame);
  }

  Kiln::Ptr<PamDesiredIntfDir> desired = Kiln::make<PamDesiredIntfDir>("pdid");
  Kiln::Ptr<EthDevPamCollection> collection = Kiln::make<EthDevPamCollection>("edpc");
  Kiln::Ptr<DeviceIntfStatusDir> devices = Kiln::make<DeviceIntfStatusDir>("disd");
  Kiln::Ptr<EthDevPamManager> manager = Kiln::make<EthDevPamManager>(desired, collection, devices);
};

TEST_F(PamTest, SocketsFollowTheDesiredInterfacesWhileTheManagerLives) {
  manager->rxQueueLimitIs(56);
  auto pam = open("Ethernet3");
  EXPECT_EQ(pam->rxQueueLimit(), 56u);
  EXPECT_EQ(open("Ethernet3"), pam);  // unchanged: the same socket stays
  auto pkt = Lumen::pktManager().newPkt();
  pkt->stringValueIs("xxFRAME", false);
  pkt->beginOffsetIs(2);
  EXPECT_TRUE(pam->txPkt(pkt));
  desired->intfDesiredDel(IntfId("Ethernet3"));
  EXPECT_TRUE(!collection->intfPam(IntfId("Ethernet3")) && pam->closed());
  EXPECT_FALSE(pam->txPkt(pkt));
  EXPECT_FALSE(inject("Ethernet3", "late"));
  const auto& sent = memoryPamNetwork().sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].intf.stringValue() + " " + sent[0].bytes, "Ethernet3 FRAME");
  EXPECT_TRUE(pam->counters().txFrames == 1 && pam->counters().txErrors == 1);

  manager->enabledIs(false);
  EXPECT_FALSE(open("Ethernet4"));
  manager->enabledIs(true);
  auto et4 = collection->intfPam(IntfId("Ethernet4"));
  ASSERT_TRUE(et4);
  manager = nullptr;  // its sockets close and its reactors let go of the directories
  EXPECT_TRUE(et4->closed());
  EXPECT_EQ(desired->notifieeList().size() + devices->notifieeList().size(), 0u);
  EXPECT_FALSE(open("Ethernet5"));
}

TEST_F(PamTest, FactoryFailuresLeaveNoSocketAndADeviceChangeReopens) {
  EthDevPamManager::defaultDeviceFactoryIs(
      [](EthDevPam& pam, const DeviceIntfStatus* device, const PamSettings&) -> std::unique_ptr<PamDevice> {
        if (!device) return nullptr;
        if (device->deviceName() == "bad") throw std::runtime_error("no such device bad");
        return memoryPamNetwork().deviceIs(pam);
      });
  manager = Kiln::make<EthDevPamManager>(desired, collection, devices);
  EthDevPamManager::defaultDeviceFactoryIs(nullptr);
  manager->enabledIs(true);
  const IntfId et6("Ethernet6");
  EXPECT_FALSE(open("Ethernet6"));  // no device yet
  devices->deviceIntfStatusIs(et6, "bad", 3);
  EXPECT_FALSE(collection->intfPam(et6));  // the factory threw
  devices->deviceIntfStatusIs(et6, "veth6", 7);
  auto first = collection->intfPam(et6);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->mtu(), 1500u);
  devices->deviceIntfStatusIs(et6, "veth6", 7, 9000);  // another MTU: the same socket
  EXPECT_EQ(collection->intfPam(et6), first);
  EXPECT_EQ(first->mtu(), 9000u);
  EXPECT_EQ(first->maxFrameBytes(2), 9022u);
  devices->deviceIntfStatusIs(et6, "veth6", 8, 9000);  // a new index: a new socket
  auto second = collection->intfPam(et6);
  EXPECT_TRUE(second && second != first && first->closed());
  EXPECT_EQ(second->mtu(), 9000u);
}

}  // namespace
