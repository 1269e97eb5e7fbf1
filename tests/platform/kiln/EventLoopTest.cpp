#include <gtest/gtest.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/kiln/EventLoop.h"

namespace {

// An eventfd stands in for a socket: readable while its counter is non-zero.
struct EventFd {
  EventFd() : fd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  ~EventFd() { ::close(fd); }
  void signal() const {
    const std::uint64_t one = 1;
    ASSERT_EQ(::write(fd, &one, sizeof one), ssize_t(sizeof one));
  }
  void drain() const {
    std::uint64_t value;
    (void)::read(fd, &value, sizeof value);
  }
  int fd;
};

TEST(EventLoop, DeferredCallsRunInOrderAndMayDeferMore) {
  Kiln::EventLoop loop;
  std::vector<std::string> log;
  loop.defer([&] {
    log.push_back("a");
    loop.defer([&] { log.push_back("c"); });
  });
  loop.defer([&] { log.push_back("b"); });
  EXPECT_TRUE(loop.runOnce(0));
  EXPECT_EQ(log, (std::vector<std::string>{"a", "b"}));
  loop.runUntilIdle();
  EXPECT_EQ(log, (std::vector<std::string>{"a", "b", "c"}));
  EXPECT_FALSE(loop.runOnce(0));
}

TEST(EventLoop, ReadableDescriptorIsDeliveredUntilDrained) {
  Kiln::EventLoop loop;
  EventFd efd;
  int calls = 0;
  loop.fdIs(efd.fd, EPOLLIN, [&](std::uint32_t events) {
    EXPECT_TRUE(events & EPOLLIN);
    if (++calls == 2) efd.drain();
  });
  loop.runUntilIdle();
  EXPECT_EQ(calls, 0);
  efd.signal();
  loop.runUntilIdle();
  EXPECT_EQ(calls, 2);  // level-triggered: again until the handler drained it
}

TEST(EventLoop, HandlerMayUnwatchItselfAndOthersInTheSameRound) {
  Kiln::EventLoop loop;
  EventFd a, b;
  int aCalls = 0, bCalls = 0;
  loop.fdIs(a.fd, EPOLLIN, [&](std::uint32_t) {
    ++aCalls;
    loop.fdDel(a.fd);
    loop.fdDel(b.fd);
  });
  loop.fdIs(b.fd, EPOLLIN, [&](std::uint32_t) {
    ++bCalls;
    loop.fdDel(a.fd);
    loop.fdDel(b.fd);
  });
  a.signal();
  b.signal();
  loop.runUntilIdle();
  EXPECT_EQ(aCalls + bCalls, 1);
  EXPECT_FALSE(loop.watching(a.fd));
}

TEST(EventLoop, RunStopsWhenAskedAndWatchingABadDescriptorFails) {
  Kiln::EventLoop loop;
  EventFd efd;
  loop.fdIs(efd.fd, EPOLLIN, [&](std::uint32_t) {
    efd.drain();
    loop.stop();
  });
  loop.defer([&] { efd.signal(); });
  loop.run();  // returns only through stop()
  EXPECT_THROW(loop.fdIs(-1, EPOLLIN, [](std::uint32_t) {}), std::system_error);
}

}  // namespace
