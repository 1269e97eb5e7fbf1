#include <gtest/gtest.h>

#include <vector>

#include "platform/kiln/Errors.h"
#include "platform/kiln/TypeRegistry.h"
#include "platform/orbis/EntityManager.h"
#include "tests/platform/kiln/TestEntities.h"

namespace {

using KilnTest::Widget;

const Kiln::TypeRegistration widgetType(
    "KilnTest::Widget", [](const std::string& name) { return Kiln::make<Widget>(name); });
const Kiln::TypeRegistration partType(
    "KilnTest::Part", [](const std::string&) { return Kiln::make<KilnTest::Part>(0); });

struct RecordingMounter : Orbis::Mounter {
  void handleMountStatus(Orbis::MountStatus status) override { statuses.push_back(status); }
  std::vector<Orbis::MountStatus> statuses;
};

class EntityManagerTest : public ::testing::Test {
 protected:
  Kiln::EventLoop loop;
  Kiln::Ptr<Orbis::EntityManager> manager = Kiln::make<Orbis::EntityManager>(loop);
};

TEST_F(EntityManagerTest, GroupCompletesOnTheLoopOnlyAfterClose) {
  RecordingMounter mounter;
  auto group = manager->mountGroup(mounter);
  group->add("cfm/config", "KilnTest::Widget", "rOP");
  group->add("cfm/status", "KilnTest::Widget", "wS");
  loop.runUntilIdle();
  EXPECT_TRUE(mounter.statuses.empty());
  EXPECT_FALSE(manager->entity("cfm/config"));

  group->close(false, "", 0.0);
  EXPECT_TRUE(mounter.statuses.empty());  // never inside close
  loop.runUntilIdle();
  EXPECT_EQ(mounter.statuses, std::vector<Orbis::MountStatus>{Orbis::mountSuccess_});
  EXPECT_TRUE(group->complete());

  auto config = Kiln::ptrCast<Widget>(manager->entity("cfm/config"));
  ASSERT_TRUE(config);
  EXPECT_EQ(config->name(), "config");
  EXPECT_EQ(manager->typeName("cfm/status"), "KilnTest::Widget");
  EXPECT_EQ(manager->paths(), (std::vector<std::string>{"cfm/config", "cfm/status"}));
  ASSERT_EQ(group->mounts().size(), 2u);
  EXPECT_EQ(group->mounts()[1].mode, "wS");
}

TEST_F(EntityManagerTest, MountFindsSeededEntitiesAndWritesAreSharedByEveryHolder) {
  auto seeded = Kiln::ptrCast<Widget>(manager->entityIs("bridging/config", "KilnTest::Widget"));
  seeded->colorIs(4);

  RecordingMounter writer, reader;
  for (auto* m : {&writer, &reader}) {
    auto group = manager->mountGroup(*m);
    group->add("bridging/config", "KilnTest::Widget", m == &writer ? "w" : "r");
    group->close(false, "", 0.0);
  }
  loop.runUntilIdle();
  ASSERT_EQ(reader.statuses, std::vector<Orbis::MountStatus>{Orbis::mountSuccess_});

  auto mine = Kiln::ptrCast<Widget>(manager->entity("bridging/config"));
  Kiln::PtrConst<Widget> theirs = Kiln::ptrCast<Widget>(manager->entity("bridging/config"));
  EXPECT_EQ(mine, seeded);
  EXPECT_EQ(theirs->color(), 4);  // the seed was not replaced by the mount

  struct Watch : Widget::NotifieeConst {
    using Widget::NotifieeConst::NotifieeConst;
    void onColor() override { seen = notifier()->color(); }
    int seen = 0;
  } watch(theirs);
  mine->colorIs(9);
  EXPECT_EQ(watch.seen, 9);
}

TEST_F(EntityManagerTest, FailedMountsReportTheirReason) {
  manager->entityIs("cfm/config", "KilnTest::Part");
  struct Case {
    const char* path;
    const char* type;
    const char* mode;
    Orbis::MountStatus expected;
  };
  const Case cases[] = {
      {"cfm/config", "KilnTest::Widget", "r", Orbis::mountTypeMismatch_},
      {"cfm/other", "No::SuchType", "r", Orbis::mountUnknownType_},
      {"cfm/other", "KilnTest::Widget", "x", Orbis::mountBadMode_},
      {"cfm/other", "KilnTest::Widget", "", Orbis::mountBadMode_},
  };
  for (const Case& c : cases) {
    RecordingMounter mounter;
    auto group = manager->mountGroup(mounter);
    group->add("cfm/fine", "KilnTest::Widget", "w");
    group->add(c.path, c.type, c.mode);
    group->close(true, "test", 0.0);
    EXPECT_EQ(mounter.statuses, std::vector<Orbis::MountStatus>{c.expected}) << c.path;
  }
  EXPECT_FALSE(manager->entity("cfm/other"));
}

TEST_F(EntityManagerTest, SeedingRefusesUnknownTypesAndOtherTypesAtAPath) {
  manager->entityIs("a", "KilnTest::Widget");
  EXPECT_EQ(manager->entityIs("a", "KilnTest::Widget"), manager->entity("a"));
  try {
    manager->entityIs("a", "KilnTest::Part");
    FAIL() << "no exception";
  } catch (const Kiln::RangeException& e) {
    EXPECT_STREQ(e.what(), "entity at a is a KilnTest::Widget, not a KilnTest::Part");
  }
  EXPECT_THROW(manager->entityIs("b", "No::SuchType"), Kiln::RangeException);
}

TEST_F(EntityManagerTest, AddingToAClosedGroupIsAnAssertion) {
  Kiln::ThrowingAssertionScope scope;
  RecordingMounter mounter;
  auto group = manager->mountGroup(mounter);
  group->close(false, "", 0.0);
  EXPECT_THROW(group->add("x", "KilnTest::Widget", "r"), Kiln::AssertionFailure);
  EXPECT_THROW(group->close(false, "", 0.0), Kiln::AssertionFailure);
  loop.runUntilIdle();
  EXPECT_EQ(mounter.statuses, std::vector<Orbis::MountStatus>{Orbis::mountSuccess_});
}

TEST(CellPath, PrefixesTheCell) {
  EXPECT_EQ(Cell::path("agent/commandRequest/config/cfmAgent", 0),
            "cell/0/agent/commandRequest/config/cfmAgent");
  EXPECT_EQ(Cell::path("interface/status/local", 12), "cell/12/interface/status/local");
}

}  // namespace
