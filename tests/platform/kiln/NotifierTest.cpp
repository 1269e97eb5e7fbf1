#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/kiln/Dir.h"

namespace {

using Kiln::Dir;
using Log = std::vector<std::string>;

// Logs what it sees when told, so a notification sent before the change is stored shows.
struct Recorder : Dir::NotifieeConst {
  Recorder(Kiln::PtrConst<Dir> dir, Log& log, std::string tag)
      : Dir::NotifieeConst(std::move(dir)), log(log), tag(std::move(tag)) {}
  void onEntity(const std::string& name) override {
    const auto entity = notifier()->entity(name);
    log.push_back(tag + name + "=" + (entity ? entity->name() : "none"));
  }
  Log& log;
  std::string tag;
};

// Synchronous: each notifiee has run, in binding order, by the time the setter returns.
TEST(Notification, OncePerRealChangeInBindingOrderAndOnlyWhileActive) {
  auto dir = Kiln::make<Dir>();
  Log log;
  Recorder a(dir, log, "a:"), b(dir, log, "b:");
  auto one = Kiln::make<Dir>("1");
  dir->entityIs("p", one);
  dir->entityIs("p", one);  // unchanged
  b.hasNotificationActiveIs(false);
  dir->entityIs("p", Kiln::make<Dir>("2"));  // replaced: the first one is let go
  EXPECT_EQ(one->refCount(), 1u);
  b.hasNotificationActiveIs(true);
  dir->entityDel("q");  // absent
  dir->entityDel("p");
  EXPECT_EQ(log, (Log{"a:p=1", "b:p=1", "a:p=2", "a:p=none", "b:p=none"}));
}

// When told, drops another notifiee of the same notifier and binds a new one.
struct Rewirer : Dir::NotifieeConst {
  using Dir::NotifieeConst::NotifieeConst;
  void onEntity(const std::string&) override {
    victim.reset();
    if (!added) added = std::make_unique<Recorder>(notifier(), *log, "new:");
  }
  Log* log;
  std::unique_ptr<Recorder> victim, added;
};

TEST(Notification, UnbindingAndBindingTakeEffectAtOnceEvenDuringARound) {
  auto dir = Kiln::make<Dir>("a");
  Log log;
  Rewirer rewirer(dir);
  rewirer.log = &log;
  rewirer.victim = std::make_unique<Recorder>(dir, log, "victim:");
  dir->entityIs("x", Kiln::make<Dir>("1"));  // the dropped one must not run; the new one
  EXPECT_TRUE(log.empty());                 // joins from the next change
  dir->entityIs("x", Kiln::make<Dir>("2"));
  EXPECT_EQ(log, (Log{"new:x=2"}));
  EXPECT_EQ(dir->notifieeList().size(), 2u);

  auto other = Kiln::make<Dir>("b");
  rewirer.added->notifierIs(other);
  rewirer.notifierIs(nullptr);
  EXPECT_EQ(dir->notifieeList().size(), 0u);
  Dir* raw = other.get();
  other = nullptr;  // the notifiee's reference keeps it
  raw->entityIs("y", Kiln::make<Dir>("3"));
  EXPECT_EQ(log, (Log{"new:x=2", "new:y=3"}));
}

}  // namespace
