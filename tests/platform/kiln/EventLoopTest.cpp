#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <system_error>

#include "platform/kiln/Errors.h"
#include "platform/kiln/EventLoop.h"
#include "platform/kiln/Trace.h"

namespace {

// An eventfd stands in for a socket: readable while its counter is non-zero.
struct EventFd {
  ~EventFd() { ::close(fd); }
  void signal() const { eventfd_write(fd, 1); }
  void drain() const { eventfd_read(fd, &value); }
  int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  mutable eventfd_t value;
};

TEST(EventLoop, DeferredCallsRunInOrderAndOnesDeferredMeanwhileWaitForTheNextRound) {
  Kiln::EventLoop loop;
  std::string log;
  loop.defer([&] { log += "a", loop.defer([&] { log += "c"; }); });
  loop.defer([&] { log += "b"; });
  EXPECT_TRUE(loop.runOnce(0));
  EXPECT_EQ(log, "ab");
  loop.runUntilIdle();
  EXPECT_EQ(log, "abc");
  EXPECT_FALSE(loop.runOnce(0));
}

TEST(EventLoop, ReadableDescriptorIsDeliveredUntilDrainedAndRunEndsOnStop) {
  Kiln::EventLoop loop;
  EventFd efd;
  int calls = 0;
  loop.fdIs(efd.fd, EPOLLIN, [&](std::uint32_t events) {
    EXPECT_TRUE(events & EPOLLIN);
    if (++calls % 2 == 0) efd.drain(), loop.stop();
  });
  loop.runUntilIdle();
  EXPECT_EQ(calls, 0);
  efd.signal();
  loop.runUntilIdle();
  EXPECT_EQ(calls, 2);  // level-triggered: again until the handler drained it
  loop.defer([&] { efd.signal(); });
  loop.run();  // returns only through stop()
  EXPECT_EQ(calls, 4);
  EXPECT_THROW(loop.fdIs(-1, EPOLLIN, [](std::uint32_t) {}), std::system_error);
}

TEST(EventLoop, HandlerMayUnwatchItselfAndOthersInTheSameRound) {
  Kiln::EventLoop loop;
  EventFd a, b;
  int calls = 0;
  auto unwatchBoth = [&](std::uint32_t) { ++calls, loop.fdDel(a.fd), loop.fdDel(b.fd); };
  loop.fdIs(a.fd, EPOLLIN, unwatchBoth);
  loop.fdIs(b.fd, EPOLLIN, unwatchBoth);
  a.signal();
  b.signal();
  loop.runUntilIdle();
  EXPECT_EQ(calls, 1);  // both were ready in the round, only the first was still watched
  EXPECT_FALSE(loop.watching(a.fd));
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
