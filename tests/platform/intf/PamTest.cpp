#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/intf/EthDevPamManager.h"
#include "platform/intf/MemoryPam.h"
#include "platform/kiln/EventLoop.h"

namespace {

using Interface::IntfId;

// Takes `perNotification` frames each time the socket is readable.
class Reader : public Interface::Pam::NotifieeConst {
 public:
  Reader(Kiln::PtrConst<Interface::Pam> pam, int perNotification)
      : Interface::Pam::NotifieeConst(pam),
        pam_(Kiln::Ptr<Interface::Pam>(const_cast<Interface::Pam*>(pam.get()))),
        perNotification_(perNotification) {}
  void onReadableCount() override {
    ++notifications;
    for (int i = 0; i < perNotification_; ++i) {
      if (auto pkt = pam_->rxPkt()) frames.push_back(pkt->stringValue());
    }
  }
  int notifications = 0;
  std::vector<std::string> frames;

 private:
  Kiln::Ptr<Interface::Pam> pam_;
  int perNotification_;
};

class PamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    desired = Kiln::make<Interface::PamDesiredIntfDir>("pdid");
    collection = Kiln::make<Interface::EthDevPamCollection>("edpc");
    devices = Kiln::make<Interface::DeviceIntfStatusDir>("disd");
    manager = Kiln::make<Interface::EthDevPamManager>(desired, collection, devices);
    manager->enabledIs(true);
    Interface::memoryPamNetwork().sentClear();
  }
  void TearDown() override {
    manager = nullptr;
    Kiln::eventLoop().runUntilIdle();
  }
  Kiln::Ptr<Interface::Pam> open(const char* name) {
    desired->intfDesiredIs(IntfId(name), true);
    return collection->intfPam(IntfId(name));
  }
  static bool inject(const char* intf, const std::string& frame) {
    return Interface::memoryPamNetwork().inject(IntfId(intf), frame);
  }

  Kiln::Ptr<Interface::PamDesiredIntfDir> desired;
  Kiln::Ptr<Interface::EthDevPamCollection> collection;
  Kiln::Ptr<Interface::DeviceIntfStatusDir> devices;
  Kiln::Ptr<Interface::EthDevPamManager> manager;
};

TEST_F(PamTest, OneFramePerNotificationArrivesInOrderFromTheLoop) {
  auto pam = open("Ethernet1");
  ASSERT_TRUE(pam);
  Reader reader(pam, 1);
  for (const char* f : {"f1", "f2", "f3"}) ASSERT_TRUE(inject("Ethernet1", f));
  EXPECT_EQ(reader.notifications, 0);  // never from inside inject
  EXPECT_EQ(pam->readableCount(), 3u);
  Kiln::eventLoop().runUntilIdle();
  EXPECT_EQ(reader.frames, (std::vector<std::string>{"f1", "f2", "f3"}));
  EXPECT_EQ(reader.notifications, 3);
  EXPECT_EQ(pam->readableCount(), 0u);
}

TEST_F(PamTest, FramesNobodyTakesDoNotKeepTheLoopBusy) {
  auto pam = open("Ethernet1");
  Reader idle(pam, 0);
  inject("Ethernet1", "a");
  Kiln::eventLoop().runUntilIdle();  // returns: one offer, nothing taken
  EXPECT_EQ(idle.notifications, 1);
  inject("Ethernet1", "b");
  Kiln::eventLoop().runUntilIdle();
  EXPECT_EQ(idle.notifications, 2);
  EXPECT_EQ(pam->readableCount(), 2u);
}

TEST_F(PamTest, FullQueueDropsAtTheHeadOrTheTail) {
  struct Case {
    bool headDrop;
    std::vector<std::string> kept;
  };
  for (const Case& c : {Case{true, {"3", "4", "5", "6"}}, Case{false, {"1", "2", "3", "4"}}}) {
    manager->rxQueueLimitIs(4);
    manager->headDropPolicyIs(c.headDrop);
    auto pam = open("Ethernet2");
    for (int i = 1; i <= 6; ++i) inject("Ethernet2", std::to_string(i));
    EXPECT_EQ(pam->counters().rxDrops, 2u);
    std::vector<std::string> kept;
    while (auto pkt = pam->rxPkt()) kept.push_back(pkt->stringValue());
    EXPECT_EQ(kept, c.kept) << "headDrop " << c.headDrop;
    desired->intfDesiredDel(IntfId("Ethernet2"));
  }
}

TEST_F(PamTest, SocketsFollowTheDesiredInterfaces) {
  struct Watch : Interface::EthDevPamCollection::NotifieeConst {
    using Interface::EthDevPamCollection::NotifieeConst::NotifieeConst;
    void onIntfPam(IntfId intf) override { seen.push_back(intf.stringValue()); }
    std::vector<std::string> seen;
  } watch(collection);

  manager->rxQueueLimitIs(56);
  auto pam = open("Ethernet3");
  ASSERT_TRUE(pam);
  EXPECT_EQ(pam->rxQueueLimit(), 56u);
  EXPECT_TRUE(Interface::memoryPamNetwork().isOpen(IntfId("Ethernet3")));
  desired->intfDesiredIs(IntfId("Ethernet3"), true);  // unchanged: nothing happens
  desired->intfDesiredDel(IntfId("Ethernet3"));
  EXPECT_FALSE(collection->intfPam(IntfId("Ethernet3")));
  EXPECT_TRUE(pam->closed());
  EXPECT_FALSE(inject("Ethernet3", "late"));
  EXPECT_EQ(watch.seen, (std::vector<std::string>{"Ethernet3", "Ethernet3"}));

  manager->enabledIs(false);
  desired->intfDesiredIs(IntfId("Ethernet4"), true);
  EXPECT_FALSE(collection->intfPam(IntfId("Ethernet4")));
  manager->enabledIs(true);
  EXPECT_TRUE(collection->intfPam(IntfId("Ethernet4")));
}

TEST_F(PamTest, TransmitSendsFromTheBeginOffsetAndNothingAfterClose) {
  auto pam = open("Ethernet5");
  auto pkt = Lumen::pktManager().newPkt();
  pkt->stringValueIs("xxFRAME", false);
  pkt->beginOffsetIs(2);
  EXPECT_TRUE(pam->txPkt(pkt));
  desired->intfDesiredDel(IntfId("Ethernet5"));
  EXPECT_FALSE(pam->txPkt(pkt));
  const auto& sent = Interface::memoryPamNetwork().sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].intf, IntfId("Ethernet5"));
  EXPECT_EQ(sent[0].bytes, "FRAME");
  EXPECT_EQ(pam->counters().txFrames, 1u);
  EXPECT_EQ(pam->counters().txErrors, 1u);
}

TEST_F(PamTest, FactoryFailuresLeaveNoSocketAndADeviceChangeReopens) {
  int calls = 0;
  Interface::EthDevPamManager::defaultDeviceFactoryIs(
      [&](Interface::EthDevPam& pam, const Interface::DeviceIntfStatus* device,
          const Interface::PamSettings&) -> std::unique_ptr<Interface::PamDevice> {
        ++calls;
        if (!device) return nullptr;
        if (device->deviceName() == "bad") throw std::runtime_error("no such device bad");
        return Interface::memoryPamNetwork().deviceIs(pam);
      });
  auto custom = Kiln::make<Interface::EthDevPamManager>(desired, collection, devices);
  Interface::EthDevPamManager::defaultDeviceFactoryIs(nullptr);
  manager->enabledIs(false);
  custom->enabledIs(true);

  const IntfId et6("Ethernet6");
  desired->intfDesiredIs(et6, true);
  EXPECT_FALSE(collection->intfPam(et6));  // no device yet
  devices->deviceIntfStatusIs(et6, "bad", 3);
  EXPECT_FALSE(collection->intfPam(et6));  // the factory threw
  devices->deviceIntfStatusIs(et6, "veth6", 7);
  auto first = collection->intfPam(et6);
  ASSERT_TRUE(first);
  devices->deviceIntfStatusIs(et6, "veth6", 8);  // a new index: a new socket
  auto second = collection->intfPam(et6);
  ASSERT_TRUE(second);
  EXPECT_NE(first, second);
  EXPECT_TRUE(first->closed());
  EXPECT_EQ(calls, 4);
}

}  // namespace
