#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <memory>

#include "platform/kiln/Dir.h"
#include "platform/kiln/EventLoop.h"
#include "platform/kiln/Trace.h"

namespace {

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
