#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kiln/Collection.h"
#include "platform/kiln/StateMachine.h"
#include "tests/platform/kiln/TestEntities.h"

namespace {

using KilnTest::Widget;
using Log = std::vector<std::string>;

// A machine built from (widget, label) that reports its life to a log.
class GadgetSm : public Kiln::StateMachine {
 public:
  GadgetSm(Kiln::PtrConst<Widget> widget, int label, Log& log)
      : widget_(std::move(widget)), label_(label), log_(log) {
    handleInitialized();
  }
  void handleInitialized() {
    KILN_ASSERT(!initialized());
    log_.push_back("init " + std::to_string(label_));
    initializedIs(true);
  }
  void hasNotificationActiveIs(bool active) { active_ = active; }

  const Kiln::PtrConst<Widget>& widget() const { return widget_; }
  int label() const { return label_; }
  bool active() const { return active_; }

 protected:
  void doPrepareToDie() override { log_.push_back("die " + std::to_string(label_)); }

 private:
  Kiln::PtrConst<Widget> widget_;
  int label_;
  Log& log_;
  bool active_ = false;
};

struct Owner {
  Log log;
  Kiln::Ptr<GadgetSm> single;
  Kiln::Collection<int, GadgetSm> keyed;

  Kiln::Ptr<GadgetSm> singleIs(Kiln::PtrConst<Widget> widget, int label) {
    return Kiln::instantiate(
        single,
        [&](const GadgetSm& sm) {
          return bool(Kiln::ArgMatch(Kiln::ChildKind::single)("_widget", widget, sm.widget())(
              "_label", label, sm.label()));
        },
        [&] { return new GadgetSm(widget, label, log); });
  }
  Kiln::Ptr<GadgetSm> keyedIs(int key, Kiln::PtrConst<Widget> widget, int label) {
    return keyed.instantiate(
        key,
        [&](const GadgetSm& sm) {
          return bool(Kiln::ArgMatch(Kiln::ChildKind::keyed)("_widget", widget, sm.widget())(
              "_label", label, sm.label()));
        },
        [&] { return new GadgetSm(widget, label, log); });
  }
};

TEST(InstantiatingSetter, SingleChildIsKeptWhenEqualAndReplacedOtherwise) {
  Owner owner;
  auto widget = Kiln::make<Widget>();
  auto first = owner.singleIs(widget, 1);
  EXPECT_TRUE(first->active());
  EXPECT_EQ(owner.singleIs(widget, 1), first);
  EXPECT_EQ(owner.log, (Log{"init 1"}));

  auto second = owner.singleIs(widget, 2);
  EXPECT_NE(second, first);
  EXPECT_EQ(owner.single, second);
  // The replacement is built before the old child is let go.
  EXPECT_EQ(owner.log, (Log{"init 1", "init 2", "die 1"}));

  Kiln::drop(owner.single);
  EXPECT_FALSE(owner.single);
  EXPECT_EQ(owner.log.back(), "die 2");
}

TEST(InstantiatingSetter, KeyedChildWithOtherArgumentsIsRefusedNamingTheFirstDifference) {
  Owner owner;
  auto widget = Kiln::make<Widget>("w1");
  auto other = Kiln::make<Widget>("w2");
  auto sm = owner.keyedIs(3, widget, 7);
  EXPECT_EQ(owner.keyedIs(3, widget, 7), sm);

  try {
    owner.keyedIs(3, widget, 8);
    FAIL() << "no exception";
  } catch (const Kiln::NameInUseException& e) {
    EXPECT_STREQ(e.what(),
                 "Reinstantiating the pointer interface where constructor parameter attribute "
                 "_label has a different value of 8 than the current value of 7 not allowed");
  }
  try {
    owner.keyedIs(3, other, 8);
    FAIL() << "no exception";
  } catch (const Kiln::NameInUseException& e) {
    const std::string expected =
        "Reinstantiating the pointer interface where constructor parameter attribute _widget "
        "has a different value of " +
        Kiln::entityText(other.get()) + " than the current value of " +
        Kiln::entityText(widget.get()) + " not allowed";
    EXPECT_EQ(e.what(), expected);
  }
  EXPECT_EQ(owner.keyed.find(3), sm);
  EXPECT_EQ(owner.log, (Log{"init 7"}));
}

TEST(InstantiatingSetter, CollectionPreparesEveryLeavingMachineOnce) {
  Owner owner;
  auto widget = Kiln::make<Widget>();
  for (int key : {1, 2, 3}) owner.keyedIs(key, widget, key * 10);
  auto held = owner.keyed.find(2);
  owner.keyed.del(2);
  held->prepareToDie();  // a second request does nothing
  owner.keyed.delAll();
  EXPECT_EQ(owner.log, (Log{"init 10", "init 20", "init 30", "die 20", "die 10", "die 30"}));
}

TEST(InstantiatingSetter, NoObjectIsTheNullValidPtrError) {
  Kiln::Ptr<GadgetSm> slot;
  auto noObject = [] { return static_cast<GadgetSm*>(nullptr); };
  auto never = [](const GadgetSm&) { return false; };
  EXPECT_THROW(Kiln::instantiate(slot, never, noObject), Kiln::RangeException);
  Kiln::Collection<int, GadgetSm> keyed;
  try {
    keyed.instantiate(1, never, noObject);
    FAIL() << "no exception";
  } catch (const Kiln::RangeException& e) {
    EXPECT_STREQ(e.what(), "null ValidPtr");
  }
  EXPECT_TRUE(keyed.empty());
}

TEST(StateMachine, SecondInitializationIsTheNotInitializedAssertion) {
  Kiln::ThrowingAssertionScope scope;
  Log log;
  auto sm = Kiln::make<GadgetSm>(Kiln::make<Widget>(), 1, log);
  EXPECT_TRUE(sm->initialized());
  try {
    sm->handleInitialized();
    FAIL() << "no assertion";
  } catch (const Kiln::AssertionFailure& e) {
    EXPECT_STREQ(e.what(), "!initialized()");
  }
}

}  // namespace
