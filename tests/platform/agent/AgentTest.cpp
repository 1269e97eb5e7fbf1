#include <gtest/gtest.h>

#include "platform/agent/AgentRunner.h"
#include "platform/kiln/TypeRegistry.h"
#include "tests/support/ErrorText.h"

namespace {

using Statuses = std::vector<Orbis::MountStatus>;

const Kiln::TypeRegistration plainType(
    "Test::Plain", [](const std::string& name) { return Kiln::make<Kiln::Entity>(name); });

struct RecordingMounter : Orbis::Mounter {
  void handleMountStatus(Orbis::MountStatus status) override { statuses.push_back(status); }
  Statuses statuses;
};

// A group completes on the loop, only after close. (A member of another type than the
// database holds fails the group and stops the agent: ReceivePathTest.)
TEST(EntityManager, GroupCompletesOnTheLoopAfterClose) {
  Kiln::EventLoop loop;
  auto manager = Kiln::make<Orbis::EntityManager>(loop);
  RecordingMounter mounter;
  auto group = manager->mountGroup(mounter);
  group->add("cfm/config", "Kiln::Dir", "rOP");
  group->add("cfm/status", "Kiln::Dir", "wS");
  loop.runUntilIdle();
  EXPECT_FALSE(manager->entity("cfm/config"));
  group->close(false, "", 0.0);
  EXPECT_EQ(TestSupport::errorOf([&] { group->add("x", "Kiln::Dir", "r"); }), "!closed_");
  EXPECT_TRUE(mounter.statuses.empty());  // never inside close
  loop.runUntilIdle();
  EXPECT_EQ(mounter.statuses, Statuses{Orbis::mountSuccess_});
  EXPECT_EQ(manager->entity("cfm/config")->name(), "config");

  manager->entityIs("cfm/plain", "Test::Plain");
  EXPECT_EQ(TestSupport::errorOf([&] { manager->entityIs("cfm/plain", "Kiln::Dir"); }),
            "entity at cfm/plain is a Test::Plain, not a Kiln::Dir");
  EXPECT_EQ(TestSupport::errorOf([&] { manager->entityIs("b", "No::SuchType"); }), "no entity type named No::SuchType");
}

using Log = std::vector<std::string>;

// Mounts one path, closing its group unless told not to.
struct TestAgent : AgentBase::CAgent {
  using AgentBase::CAgent::CAgent;
  std::string fwkType() const override { return "TestAgent"; }
  void doInit() override {
    auto group = mountGroup();
    group->add(Cell::path("agent/commandRequest/config/test", cellId()), "Kiln::Dir", "rOP");
    if (name() != "neverCloses") group->close(false, "", 0.0);
  }
  void doMountsComplete(Orbis::MountStatus status, Kiln::Ptr<Orbis::EntityManager>) override {
    log.push_back(Orbis::mountStatusText(status));
  }
  Log log;
};

const Kiln::TypeRegistration testAgentType(
    "Test::Agent", [](const std::string& name) { return Kiln::make<TestAgent>(name); });

TEST(AgentRunner, BuildsTheAgentAndCompletesItsMountsOrSaysWhyNot) {
  Kiln::EventLoop loop;
  auto manager = Kiln::make<Orbis::EntityManager>(loop);
  AgentBase::AgentRunner runner(manager, 3);
  auto agent = Kiln::ptrCast<TestAgent>(runner.agentIs("Test::Agent", "test"));
  ASSERT_TRUE(agent);
  EXPECT_EQ(agent->log, Log{"mountSuccess"});
  EXPECT_TRUE(manager->entity("cell/3/agent/commandRequest/config/test"));
  EXPECT_THROW(runner.agentIs("No::Such", "x"), std::runtime_error);
  EXPECT_THROW(runner.agentIs("Kiln::Dir", "x"), std::runtime_error);  // no agent
  EXPECT_THROW(runner.agentIs("Test::Agent", "neverCloses"), std::runtime_error);
  EXPECT_THROW(runner.libraryIs("/nonexistent/libNothing.so"), std::runtime_error);
}

}  // namespace
