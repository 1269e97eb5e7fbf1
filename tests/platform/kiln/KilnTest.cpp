#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <memory>

#include "platform/kiln/Dir.h"
#include "platform/kiln/EventLoop.h"
#include "platform/kiln/StateMachine.h"
#include "platform/kiln/Trace.h"
#include "tests/support/ErrorText.h"

namespace {

using Kiln::ChildKind;
using Kiln::Dir;
using Log = std::vector<std::string>;

TEST(AssertionDeathTest, DefaultHandlerAbortsNamingTheConditionWhateverHandlerWasInstalled) {
  EXPECT_DEATH(KILN_ASSERT(1 + 1 == 3), "assertion failed: 1 \\+ 1 == 3");
  EXPECT_DEATH(Kiln::assertionHandlerIs([](const char*, const char*, int) {});
               KILN_ASSERT(false), "assertion failed: false");
}

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
  Rewirer(Kiln::PtrConst<Dir> dir, Log& log) : Dir::NotifieeConst(std::move(dir)), log(log) {}
  void onEntity(const std::string&) override {
    victim.reset();
    if (!added) added = std::make_unique<Recorder>(notifier(), log, "new:");
  }
  Log& log;
  std::unique_ptr<Recorder> victim, added;
};

TEST(Notification, UnbindingAndBindingTakeEffectAtOnceEvenDuringARound) {
  auto dir = Kiln::make<Dir>("a");
  Log log;
  Rewirer rewirer(dir, log);
  rewirer.victim = std::make_unique<Recorder>(dir, log, "victim:");
  dir->entityIs("x", Kiln::make<Dir>("1"));  // the dropped one must not run; the new one
  EXPECT_TRUE(log.empty());                 // joins from the next change
  dir->entityIs("x", Kiln::make<Dir>("2"));
  EXPECT_EQ(log, (Log{"new:x=2"}));
  EXPECT_EQ(dir->notifieeList().size(), 2u);
  Dir* raw = dir.get();
  dir = nullptr;  // the notifiees' references keep it
  raw->entityIs("y", Kiln::make<Dir>("3"));
  EXPECT_EQ(log, (Log{"new:x=2", "new:y=3"}));
}

// A machine built from (dir, label) that reports its life to a log.
struct GadgetSm : Kiln::StateMachine {
  GadgetSm(Kiln::PtrConst<Dir> dir, int label, Log& log) : dir(std::move(dir)), label(label), log(log) {
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

  // Label 0 stands for a setter that made no object.
  Kiln::Ptr<GadgetSm> is(ChildKind kind, int key, Kiln::PtrConst<Dir> dir, int label) {
    auto sameArgs = [&](const GadgetSm& sm) {
      return bool(Kiln::ArgMatch(kind)("_dir", dir, sm.dir)("_label", label, sm.label));
    };
    auto make = [&] { return label ? new GadgetSm(dir, label, log) : nullptr; };
    return kind == ChildKind::single ? Kiln::instantiate(single, sameArgs, make)
                                     : keyed.instantiate(key, sameArgs, make);
  }
};

// A child asked for with the arguments it was built from is kept. A single child asked for
// with others is replaced, the replacement built before the old one is let go; a keyed one
// is refused, naming the first difference. Each machine that leaves is prepared to die once.
TEST(InstantiatingSetter, KeepsAnEqualChildReplacesASingleOneAndRefusesAKeyedOne) {
  Owner owner;
  auto dir = Kiln::make<Dir>("w1");
  auto first = owner.is(ChildKind::single, 0, dir, 1);
  EXPECT_TRUE(first->active);
  EXPECT_EQ(owner.is(ChildKind::single, 0, dir, 1), first);
  EXPECT_TRUE(owner.is(ChildKind::single, 0, dir, 2)->active);
  Kiln::drop(owner.single);
  EXPECT_EQ(owner.log, (Log{"init 1", "init 2", "die 1", "die 2"}));
  owner.log.clear();
  auto sm = owner.is(ChildKind::keyed, 3, dir, 7);
  EXPECT_EQ(owner.is(ChildKind::keyed, 3, dir, 7), sm);
  EXPECT_EQ(TestSupport::errorOf([&] { owner.is(ChildKind::keyed, 3, dir, 8); }),
            "Reinstantiating the pointer interface where constructor parameter attribute _label "
            "has a different value of 8 than the current value of 7 not allowed");
  const std::string both = TestSupport::errorOf([&] { owner.is(ChildKind::keyed, 3, Kiln::make<Dir>("w2"), 8); });
  EXPECT_NE(both.find("_dir has a different value of w2@"), std::string::npos) << both;
  EXPECT_EQ(TestSupport::errorOf([&] { owner.is(ChildKind::keyed, 4, dir, 0); }), "null ValidPtr");
  for (int key : {1, 2}) owner.is(ChildKind::keyed, key, dir, key * 10);
  auto held = owner.keyed.find(2);
  owner.keyed.del(2);
  held->prepareToDie();  // a second request does nothing
  owner.keyed.delAll();
  EXPECT_EQ(owner.log, (Log{"init 7", "init 10", "init 20", "die 20", "die 10", "die 7"}));
}

// An eventfd stands in for a socket: readable while its counter is non-zero.
struct EventFd {
  ~EventFd() { ::close(fd); }
  void signal() const { eventfd_write(fd, 1); }
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
};

// Deferred calls run in order, ones deferred meanwhile in the next round; a handler may
// unwatch itself and others ready in the same round. (Level-triggered delivery is what
// PamE2e's burst needs to reach its reader whole; run() ending on stop(), cfmagentd's clean
// exit on SIGTERM in the e2e demo.)
TEST(EventLoop, DeferredWorkRunsInRoundsAndAnUnwatchedDescriptorAtOnce) {
  Kiln::EventLoop loop;
  std::string log;
  loop.defer([&] { log += "a", loop.defer([&] { log += "c"; }); });
  loop.defer([&] { log += "b"; });
  EXPECT_TRUE(loop.runOnce(0));
  EXPECT_EQ(log, "ab");
  loop.runUntilIdle();
  EXPECT_EQ(log, "abc");
  EXPECT_FALSE(loop.runOnce(0));

  EventFd a, b;
  int calls = 0;
  auto unwatchBoth = [&](std::uint32_t) { ++calls, loop.fdDel(a.fd), loop.fdDel(b.fd); };
  loop.fdIs(a.fd, EPOLLIN, unwatchBoth);
  loop.fdIs(b.fd, EPOLLIN, unwatchBoth);
  a.signal();
  b.signal();
  loop.runUntilIdle();
  EXPECT_EQ(calls, 1);  // both were ready in the round, only the first was still watched
  EXPECT_FALSE(loop.watching(a.fd) || loop.watching(b.fd));
}

TEST(Trace, SettingPicksHandlesByNameOrPrefixAndTextIsBuiltOnlyWhenOn) {
  std::vector<std::string> lines;
  auto previous = Kiln::traceSinkIs([&](const Kiln::TraceHandle&, unsigned, std::string_view text) {
    lines.emplace_back(text);
  });
  auto& early = Kiln::traceHandle("TestCfmEarly");
  Kiln::traceSettingIs("TestCfm*/5 TestCfmPam/0-2,8;TestOther/9");
  auto& late = Kiln::traceHandle("TestCfmLate");  // made after the setting
  auto& pam = Kiln::traceHandle("TestCfmPam");
  EXPECT_EQ(early.levels(), 1u << 5);
  EXPECT_EQ(pam.levels(), 0b1'0000'0111u);  // later items win
  EXPECT_EQ(Kiln::traceHandle("TestOtherX").levels(), 0u);  // a name, not a prefix
  int evaluated = 0;
  auto expensive = [&] { return ++evaluated, "x"; };
  KILN_TRACE(late, 8, "entry " << expensive());
  KILN_TRACE(late, 5, "PktId: " << 7 << " Expr: " << expensive());
  EXPECT_EQ(evaluated, 1);
  EXPECT_EQ(lines, std::vector<std::string>{"PktId: 7 Expr: x"});
  // A malformed setting is refused whole.
  for (const char* bad : {"TestCfm*/5 TestCfmPam", "TestCfmPam/", "TestCfmPam/10",
                          "TestCfmPam/5-3", "/5", "TestCfmPam/a", "TestCfmPam/1,,2"}) {
    EXPECT_THROW(Kiln::traceSettingIs(bad), Kiln::RangeException) << bad;
    EXPECT_EQ(pam.levels(), 0b1'0000'0111u) << bad;
  }
  Kiln::traceSettingIs("");
  EXPECT_EQ(early.levels(), 0u);
  Kiln::traceSinkIs(previous);
}

}  // namespace
