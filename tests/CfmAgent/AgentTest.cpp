#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "CfmAgent/CfmAgent.h"
#include "platform/agent/AgentRunner.h"
#include "platform/intf/MemoryPam.h"
#include "platform/kiln/Errors.h"

namespace {

using Interface::IntfId;

// A state database with the runner's seed, and the agent loaded from its library.
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

TEST_F(AgentTest, DeclaresItsMountsAndLocalEntities) {
  auto agent = start();
  ASSERT_TRUE(agent);
  using Row = std::tuple<std::string, std::string, std::string>;
  std::vector<Row> mounts;
  for (const auto& m : agent->mountGroup()->mounts()) mounts.emplace_back(m.path, m.typeName, m.mode);
  EXPECT_EQ(mounts, (std::vector<Row>{
                        {"cfm/config", "CfmAgent::Config", "rOP"},
                        {"cfm/aleConfig", "Cfm::AleConfig", "w"},
                        {"cfm/aleStatus", "Cfm::AleStatus", "rOP"},
                        {"cfm/status", "CfmAgent::Status", "wS"},
                        {"bridging/config", "Bridging::Config", "r"},
                        {"bridging/status", "Bridging::Status", "r"},
                        {"cell/0/agent/commandRequest/config/cfmAgent", "Kiln::Dir", "rOP"},
                    }));
  EXPECT_TRUE(agent->localEntitiesCreated());
  EXPECT_EQ(manager->typeName("interface/status/all"), "Interface::AllIntfStatusDir");
  EXPECT_EQ(manager->entity("interface/status/all")->name(), "AllIntfStatusDir");
  EXPECT_EQ(manager->typeName("cell/0/interface/status/local"), "Interface::AllIntfStatusLocalDir");
  EXPECT_EQ(manager->typeName("kni/ns/default/status"), "KernelNetInfo::Status");
}

TEST_F(AgentTest, BuildsItsGraphOverTheMountedRoots) {
  auto agent = start();
  ASSERT_TRUE(agent);
  EXPECT_EQ(agent->config(), manager->entity("cfm/config"));
  EXPECT_EQ(agent->aleConfig(), manager->entity("cfm/aleConfig"));
  EXPECT_EQ(agent->aleStatus(), manager->entity("cfm/aleStatus"));
  EXPECT_EQ(agent->status(), manager->entity("cfm/status"));
  EXPECT_EQ(agent->brConfig(), manager->entity("bridging/config"));
  EXPECT_EQ(agent->brStatus(), manager->entity("bridging/status"));
  EXPECT_EQ(agent->allIntfStatusDir(), manager->entity("interface/status/all"));
  EXPECT_EQ(agent->allIntfStatusLocalDir(), manager->entity("cell/0/interface/status/local"));
  EXPECT_EQ(agent->kniStatus(), manager->entity("kni/ns/default/status"));
  EXPECT_EQ(agent->cliRequestDir(), manager->entity("cell/0/agent/commandRequest/config/cfmAgent"));
  ASSERT_TRUE(agent->cliRequestDirSm());
  EXPECT_EQ(agent->cliRequestDirSm()->requestDir(), agent->cliRequestDir());

  const std::vector<std::pair<const Kiln::Entity*, std::string>> children = {
      {agent->deviceIntfStatusDir().get(), "disd"},
      {agent->pamDesiredIntfDir().get(), "pdid"},
      {agent->ethDevPamCollection().get(), "edpc"},
  };
  for (const auto& [child, name] : children) {
    ASSERT_TRUE(child) << name;
    EXPECT_EQ(child->name(), name);
    EXPECT_EQ(child->parent(), agent.get()) << name;
  }

  const auto& settings = agent->ethDevPamManager()->settings();
  EXPECT_EQ(settings.rxQueueLimit, 56u);
  EXPECT_TRUE(settings.headDropPolicy);
  EXPECT_TRUE(settings.pktReuse);
  EXPECT_TRUE(settings.enableBulkPamRead);
  EXPECT_FALSE(settings.perIntfSocket);
  EXPECT_TRUE(agent->ethDevPamManager()->enabled());
  EXPECT_EQ(agent->ethDevPamManager()->pamDesiredIntfDir(), agent->pamDesiredIntfDir());

  ASSERT_TRUE(agent->protocolPktCollection());
  std::vector<Cfm::Protocol> slots;
  for (const auto& [protocol, slot] : agent->protocolPktCollection()->protocolPkt()) slots.push_back(protocol);
  EXPECT_EQ(slots, (std::vector<Cfm::Protocol>{Cfm::protocolContinuityCheck, Cfm::protocolLoopback,
                                               Cfm::protocolLinktrace}));
  ASSERT_TRUE(agent->intfSm());
  ASSERT_TRUE(agent->pamSm());
  EXPECT_EQ(agent->pamSm()->pktHelper(), agent->pktHelper());
  EXPECT_EQ(agent->pamSm()->brConfig(), agent->brConfig());
  ASSERT_TRUE(agent->counterHelper());
  ASSERT_TRUE(agent->pktHelper());
  EXPECT_EQ(agent->pktHelper()->counterHelper(), agent->counterHelper());
  EXPECT_EQ(agent->pktHelper()->pamCollection(), agent->ethDevPamCollection());
  EXPECT_EQ(agent->counterHelper()->counter(), agent->status()->counter());
  EXPECT_TRUE(agent->status()->mipCcmDb());
  EXPECT_TRUE(agent->status()->ccmDb());

  // Asking again with the same arguments keeps what is there.
  auto disd = agent->deviceIntfStatusDir();
  EXPECT_EQ(agent->deviceIntfStatusDirIs("disd"), disd);
  EXPECT_NE(agent->deviceIntfStatusDirIs("other"), disd);
}

TEST_F(AgentTest, StateSeededBeforeStartIsThereForTheGraph) {
  auto all = Kiln::ptrCast<Interface::AllIntfStatusDir>(
      manager->entityIs("interface/status/all", "Interface::AllIntfStatusDir"));
  all->intfStatusIs(IntfId("Ethernet1"), "veth1");
  auto kni = Kiln::ptrCast<KernelNetInfo::Status>(
      manager->entityIs("kni/ns/default/status", "KernelNetInfo::Status"));
  kni->deviceIs("veth1", 4);
  auto config = Kiln::ptrCast<CfmAgent::Config>(manager->entityIs("cfm/config", "CfmAgent::Config"));
  config->mdConfigIs(Cfm::MdLevel(3));

  auto agent = start();
  ASSERT_TRUE(agent);
  EXPECT_TRUE(agent->config()->mdConfig(Cfm::MdLevel(3)));
  auto device = agent->deviceIntfStatusDir()->deviceIntfStatus(IntfId("Ethernet1"));
  ASSERT_TRUE(device);
  EXPECT_EQ(device->ifIndex(), 4);
}

TEST_F(AgentTest, AFailedMountStopsTheAgentWithItsAssertion) {
  manager->entityIs("cfm/config", "Kiln::Dir");  // another type at a mounted path
  Kiln::ThrowingAssertionScope scope;
  try {
    start();
    FAIL() << "no assertion";
  } catch (const Kiln::AssertionFailure& e) {
    EXPECT_STREQ(e.what(), "mountStatus == Orbis::mountSuccess_");
  }
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
