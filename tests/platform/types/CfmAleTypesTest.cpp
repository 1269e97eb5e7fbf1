#include <gtest/gtest.h>

#include <iterator>
#include <memory>
#include <vector>

#include "platform/kiln/TypeRegistry.h"
#include "platform/types/CfmAleTypes.h"
#include "tests/support/Recorders.h"

namespace {

using namespace Cfm;
using TestSupport::Log;
using TestSupport::runScript;
using TestSupport::Step;
using TestSupport::text;

// Logs what a watcher sees at the moment it is told, so a notification sent before the
// change is stored shows up as the old state.
struct AleStatusRecorder : AleStatus::NotifieeConst {
  AleStatusRecorder(Kiln::PtrConst<AleStatus> n, Log& log) : NotifieeConst(n), log(log) {}
  void onMdStatus(MdLevel level) override {
    log.push_back(text("mdStatus ", level, notifier()->mdStatus(level) ? " present" : " absent"));
  }
  Log& log;
};

struct MdAleStatusRecorder : MdAleStatus::NotifieeConst {
  MdAleStatusRecorder(Kiln::PtrConst<MdAleStatus> n, Log& log) : NotifieeConst(n), log(log) {}
  void onDefaultMip() override { log.push_back(text("defaultMip ", notifier()->defaultMip())); }
  Log& log;
};

TEST(AleStatus, NotifiesOnlyRealChangesWithTheKey) {
  Log log;
  auto status = Kiln::make<AleStatus>();
  AleStatusRecorder statusRecorder(status, log);
  const MdLevel level(2);
  Kiln::Ptr<MdAleStatus> md;
  std::unique_ptr<MdAleStatusRecorder> mdRecorder;

  const std::vector<Step> script = {
      {"new level", [&] { md = status->mdStatusIs(level); }, {"mdStatus 2 present"}},
      {"found level", [&] { EXPECT_EQ(status->mdStatusIs(level), md); }, {}},
      {"bind", [&] { mdRecorder = std::make_unique<MdAleStatusRecorder>(md, log); }, {}},
      {"defaultMip on", [&] { md->defaultMipIs(true); }, {"defaultMip 1"}},
      {"defaultMip on again", [&] { md->defaultMipIs(true); }, {}},
      {"defaultMip off", [&] { md->defaultMipIs(false); }, {"defaultMip 0"}},
      {"delete level", [&] { status->mdStatusDel(level); }, {"mdStatus 2 absent"}},
      {"delete absent level", [&] { status->mdStatusDel(level); }, {}},
      {"delete never-created level", [&] { status->mdStatusDel(MdLevel(7)); }, {}},
  };
  runScript(log, script);
  EXPECT_EQ(md->mdLevel(), level);
  EXPECT_EQ(md->parent(), status.get());
}

// The agent sweeps entries left by an earlier run in one pass over each collection.
TEST(AleConfig, StaleEntriesCanBeSweptWhileIterating) {
  auto config = Kiln::make<AleConfig>();
  for (std::uint8_t level = 0; level <= 7; ++level) config->mdConfigIs(MdLevel(level));
  for (auto it = config->mdConfig().begin(); it != config->mdConfig().end();) {
    it = it->first.value() % 2 ? std::next(it) : config->mdConfigDel(it);
  }
  std::vector<int> levels;
  for (const auto& [level, md] : config->mdConfig()) levels.push_back(level.value());
  EXPECT_EQ(levels, (std::vector<int>{1, 3, 5, 7}));

  auto mep = config->mdConfigIs(MdLevel(1))->maConfigIs(MaName("a"))->localMepConfigIs(MepId(1));
  for (std::uint16_t id : {2, 3, 4}) mep->remoteMepConfigIs(MepId(id), id != 3);
  for (auto it = mep->remoteMepConfig().begin(); it != mep->remoteMepConfig().end();) {
    it = it->second ? std::next(it) : mep->remoteMepConfigDel(it);
  }
  EXPECT_EQ(mep->remoteMepConfig().size(), 2u);
  EXPECT_FALSE(mep->remoteMepConfig(MepId(3)));
  EXPECT_TRUE(mep->remoteMepConfig(MepId(4)));
  mep->remoteMepConfigDelAll();
  EXPECT_TRUE(mep->remoteMepConfig().empty());
}

TEST(AleTypes, RegisteredByName) {
  auto config = Kiln::ptrCast<AleConfig>(Kiln::newEntity("Cfm::AleConfig", "aleConfig"));
  ASSERT_TRUE(config);
  EXPECT_EQ(config->name(), "aleConfig");
  auto status = Kiln::ptrCast<AleStatus>(Kiln::newEntity("Cfm::AleStatus", "aleStatus"));
  ASSERT_TRUE(status);
  EXPECT_EQ(status->name(), "aleStatus");
}

}  // namespace
