#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/kiln/Collection.h"
#include "platform/kiln/Dir.h"
#include "platform/kiln/StateMachine.h"

namespace {

using Kiln::ChildKind;
using Kiln::Dir;
using Log = std::vector<std::string>;

// A machine built from (dir, label) that reports its life to a log.
struct GadgetSm : Kiln::StateMachine {
  GadgetSm(Kiln::PtrConst<Dir> dir, int label, Log& log)
      : dir(std::move(dir)), label(label), log(log) {
    log.push_back("init " + std::to_string(label));
  }
  void hasNotificationActiveIs(bool a) { active = a; }
  void doPrepareToDie() override { log.push_back("die " + std::to_string(label)); }
  const Kiln::PtrConst<Dir> dir;
  const int label;
  Log& log;
  bool active = false;
};

struct Owner {
  Log log;
  Kiln::Ptr<GadgetSm> single;
  Kiln::Collection<int, GadgetSm> keyed;

  Kiln::Ptr<GadgetSm> is(ChildKind kind, int key, Kiln::PtrConst<Dir> dir, int label) {
    auto sameArgs = [&](const GadgetSm& sm) {
      return bool(Kiln::ArgMatch(kind)("_dir", dir, sm.dir)("_label", label, sm.label));
    };
    auto make = [&] { return label ? new GadgetSm(dir, label, log) : nullptr; };
    return kind == ChildKind::single ? Kiln::instantiate(single, sameArgs, make)
                                     : keyed.instantiate(key, sameArgs, make);
  }
  std::string refusal(int key, Kiln::PtrConst<Dir> dir, int label) {
    try {
      is(ChildKind::keyed, key, dir, label);
    } catch (const Kiln::Exception& e) {
      return e.what();
    }
    return "no exception";
  }
};

TEST(InstantiatingSetter, SingleChildIsKeptWhenEqualAndReplacedOtherwise) {
  Owner owner;
  auto dir = Kiln::make<Dir>();
  auto first = owner.is(ChildKind::single, 0, dir, 1);
  EXPECT_TRUE(first->active);
  EXPECT_EQ(owner.is(ChildKind::single, 0, dir, 1), first);
  EXPECT_TRUE(owner.is(ChildKind::single, 0, dir, 2)->active);
  Kiln::drop(owner.single);
  // The replacement is built before the old child is let go.
  EXPECT_EQ(owner.log, (Log{"init 1", "init 2", "die 1", "die 2"}));
}

TEST(InstantiatingSetter, KeyedChildWithOtherArgumentsIsRefusedNamingTheFirstDifference) {
  Owner owner;
  auto dir = Kiln::make<Dir>("w1");
  auto sm = owner.is(ChildKind::keyed, 3, dir, 7);
  EXPECT_EQ(owner.is(ChildKind::keyed, 3, dir, 7), sm);
  EXPECT_EQ(owner.refusal(3, dir, 8),
            "Reinstantiating the pointer interface where constructor parameter attribute _label "
            "has a different value of 8 than the current value of 7 not allowed");
  const std::string both = owner.refusal(3, Kiln::make<Dir>("w2"), 8);
  EXPECT_NE(both.find("_dir has a different value of w2@"), std::string::npos) << both;
  EXPECT_EQ(owner.refusal(4, dir, 0), "null ValidPtr");  // a setter that made no object
  EXPECT_EQ(owner.log, (Log{"init 7"}));
}

TEST(InstantiatingSetter, CollectionPreparesEveryLeavingMachineOnce) {
  Owner owner;
  auto dir = Kiln::make<Dir>();
  for (int key : {1, 2, 3}) owner.is(ChildKind::keyed, key, dir, key * 10);
  auto held = owner.keyed.find(2);
  owner.keyed.del(2);
  held->prepareToDie();  // a second request does nothing
  owner.keyed.delAll();
  EXPECT_EQ(owner.log, (Log{"init 10", "init 20", "init 30", "die 20", "die 10", "die 30"}));
}

}  // namespace
