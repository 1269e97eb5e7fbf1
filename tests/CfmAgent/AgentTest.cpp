// The agent as cfmagentd loads it: from its library through the runner core, over the
// state database's mounts. What it does with frames is ReceivePathTest's.

#include <gtest/gtest.h>

#include "CfmAgent/CfmAgent.h"
#include "PduTestUtil.h"
#include "platform/agent/AgentRunner.h"
#include "platform/intf/MemoryPam.h"

namespace {

using Interface::IntfId;

class AgentTest : public ::testing::Test {
 protected:
  Kiln::Ptr<CfmAgent::Agent> start() {
    runner.libraryIs(CFM_AGENT_LIBRARY);
    return Kiln::ptrCast<CfmAgent::Agent>(runner.agentIs("CfmAgent::Agent", "cfmAgent"));
  }

  Kiln::EventLoop& loop = Kiln::eventLoop();
  Kiln::Ptr<Orbis::EntityManager> manager = Kiln::make<Orbis::EntityManager>(loop);
  AgentBase::AgentRunner runner{manager};
};

// What the state database held before the start is what the agent's graph starts from,
// and its sockets read the way the daemon needs.
TEST_F(AgentTest, StateSeededBeforeStartIsThereForTheGraph) {
  Kiln::ptrCast<Interface::AllIntfStatusDir>(manager->entityIs("interface/status/all", "Interface::AllIntfStatusDir"))
      ->intfStatusIs(IntfId("Ethernet1"), "veth1");
  Kiln::ptrCast<KernelNetInfo::Status>(manager->entityIs("kni/ns/default/status", "KernelNetInfo::Status"))
      ->deviceIs("veth1", 4);
  auto agent = start();
  ASSERT_TRUE(agent);
  auto device = agent->deviceIntfStatusDir()->deviceIntfStatus(IntfId("Ethernet1"));
  ASSERT_TRUE(device);
  EXPECT_EQ(device->ifIndex(), 4);
  EXPECT_TRUE(Interface::memoryPamNetwork().isOpen(IntfId("Ethernet1")));

  const auto& settings = agent->ethDevPamManager()->settings();
  EXPECT_EQ(settings.rxQueueLimit, 56u);
  EXPECT_TRUE(settings.headDropPolicy && settings.pktReuse && settings.enableBulkPamRead);
  EXPECT_FALSE(settings.perIntfSocket);
}

TEST_F(AgentTest, AFailedMountStopsTheAgentWithItsAssertion) {
  manager->entityIs("cfm/config", "Kiln::Dir");  // another type at a mounted path
  EXPECT_EQ(PduTest::assertionText([&] { start(); }), "mountStatus == Orbis::mountSuccess_");
}

TEST_F(AgentTest, DestructionClosesItsSockets) {
  auto agent = start();
  agent->pamDesiredIntfDir()->intfDesiredIs(IntfId("Ethernet7"), true);
  EXPECT_TRUE(Interface::memoryPamNetwork().isOpen(IntfId("Ethernet7")));
  agent = nullptr;
  runner.agentDel();
  EXPECT_FALSE(Interface::memoryPamNetwork().isOpen(IntfId("Ethernet7")));
}

}  // namespace
