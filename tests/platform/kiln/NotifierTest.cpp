#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "tests/platform/kiln/TestEntities.h"

namespace {

using KilnTest::Widget;
using Log = std::vector<std::string>;

class Recorder : public Widget::NotifieeConst {
 public:
  Recorder(Kiln::PtrConst<Widget> widget, Log& log, std::string tag = "")
      : Widget::NotifieeConst(std::move(widget)), log_(log), tag_(std::move(tag)) {}
  void onColor() override { log_.push_back(tag_ + "color=" + std::to_string(notifier()->color())); }
  void onPart(int key) override { log_.push_back(tag_ + "part " + std::to_string(key)); }
  void onFlag(int key) override { log_.push_back(tag_ + "flag " + std::to_string(key)); }

 private:
  Log& log_;
  std::string tag_;
};

TEST(Notification, OncePerRealChangeAndOnlyWhileActive) {
  auto widget = Kiln::make<Widget>();
  Log log;
  Recorder recorder(widget, log);

  widget->colorIs(0);  // unchanged
  widget->colorIs(5);
  widget->colorIs(5);  // unchanged
  recorder.hasNotificationActiveIs(false);
  widget->colorIs(6);
  recorder.hasNotificationActiveIs(true);
  widget->colorIs(7);
  EXPECT_EQ(log, (Log{"color=5", "color=7"}));
}

TEST(Notification, CollectionsAndMapsPassTheirKey) {
  auto widget = Kiln::make<Widget>();
  Log log;
  Recorder recorder(widget, log);

  widget->partIs(4);
  widget->partIs(4);  // found, not created
  widget->partDel(9);  // absent
  widget->partDel(4);
  widget->flagIs(2, true);
  widget->flagIs(2, true);
  widget->flagIs(2, false);
  EXPECT_EQ(log, (Log{"part 4", "part 4", "flag 2", "flag 2"}));
}

TEST(Notification, EveryBoundNotifieeRunsBeforeTheSetterReturns) {
  auto widget = Kiln::make<Widget>();
  Log log;
  Recorder first(widget, log, "a:");
  Recorder second(widget, log, "b:");
  widget->colorIs(1);
  EXPECT_EQ(log, (Log{"a:color=1", "b:color=1"}));
}

// A notifiee that, when told, drops another notifiee of the same notifier and binds a new
// one: the dropped one must not run, and the new one joins from the next change on.
class Rewirer : public Widget::NotifieeConst {
 public:
  Rewirer(Kiln::PtrConst<Widget> widget, Log& log, std::unique_ptr<Recorder>& victim)
      : Widget::NotifieeConst(widget), widget_(widget), log_(log), victim_(victim) {}
  void onColor() override {
    victim_.reset();
    if (!added_) added_ = std::make_unique<Recorder>(widget_, log_, "new:");
  }

 private:
  Kiln::PtrConst<Widget> widget_;
  Log& log_;
  std::unique_ptr<Recorder>& victim_;
  std::unique_ptr<Recorder> added_;
};

TEST(Notification, NotifieesUnboundOrBoundDuringARound) {
  auto widget = Kiln::make<Widget>();
  Log log;
  std::unique_ptr<Recorder> victim;
  Rewirer rewirer(widget, log, victim);
  victim = std::make_unique<Recorder>(widget, log, "victim:");

  widget->colorIs(1);
  EXPECT_TRUE(log.empty());
  widget->colorIs(2);
  EXPECT_EQ(log, (Log{"new:color=2"}));
  EXPECT_EQ(widget->notifieeList().size(), 2u);
}

TEST(Notification, RebindingMovesToTheNewNotifierAndKeepsItAlive) {
  auto a = Kiln::make<Widget>("a");
  auto b = Kiln::make<Widget>("b");
  Log log;
  Recorder recorder(a, log);
  recorder.notifierIs(b);
  a->colorIs(1);
  b->colorIs(2);
  EXPECT_EQ(log, (Log{"color=2"}));
  EXPECT_EQ(a->notifieeList().size(), 0u);

  Widget* raw = b.get();
  b = nullptr;  // the notifiee's reference keeps it
  raw->colorIs(3);
  EXPECT_EQ(log, (Log{"color=2", "color=3"}));
}

}  // namespace
