#include <gtest/gtest.h>

#include "platform/kiln/TypeRegistry.h"
#include "platform/orbis/EntityManager.h"
#include "tests/support/Errors.h"

namespace {

using Statuses = std::vector<Orbis::MountStatus>;

const Kiln::TypeRegistration plainType(
    "Test::Plain", [](const std::string& name) { return Kiln::make<Kiln::Entity>(name); });

struct RecordingMounter : Orbis::Mounter {
  void handleMountStatus(Orbis::MountStatus status) override { statuses.push_back(status); }
  Statuses statuses;
};

TEST(EntityManager, GroupCompletesOnTheLoopOnlyAfterClose) {
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
}

// Each group mounts a good path and the row's: the group reports the row's outcome, and
// a mount finds what the runner seeded rather than replacing it.
TEST(EntityManager, MountsFindSeedsOrReportWhyNot) {
  auto manager = Kiln::make<Orbis::EntityManager>();
  manager->entityIs("cfm/config", "Test::Plain");
  auto seeded = manager->entityIs("bridging/config", "Kiln::Dir");
  struct Case { const char *path, *type, *mode; Orbis::MountStatus expected; };
  for (const Case& c : {Case{"bridging/config", "Kiln::Dir", "r", Orbis::mountSuccess_},
                        Case{"cfm/config", "Kiln::Dir", "r", Orbis::mountTypeMismatch_},
                        Case{"cfm/other", "No::SuchType", "r", Orbis::mountUnknownType_},
                        Case{"cfm/other", "Kiln::Dir", "x", Orbis::mountBadMode_}}) {
    RecordingMounter one;
    auto group = manager->mountGroup(one);
    group->add("cfm/fine", "Kiln::Dir", "w");
    group->add(c.path, c.type, c.mode);
    group->close(true, "test", 0.0);
    EXPECT_EQ(one.statuses, Statuses{c.expected}) << c.path << " " << c.type;
  }
  EXPECT_FALSE(manager->entity("cfm/other"));
  EXPECT_EQ(manager->entity("bridging/config"), seeded);
  EXPECT_EQ(TestSupport::errorOf([&] { manager->entityIs("cfm/config", "Kiln::Dir"); }),
            "entity at cfm/config is a Test::Plain, not a Kiln::Dir");
  EXPECT_EQ(TestSupport::errorOf([&] { manager->entityIs("b", "No::SuchType"); }), "no entity type named No::SuchType");
}

}  // namespace
