#pragma once
// The single-threaded event loop: epoll on file descriptors plus deferred calls.
//
// Callbacks run one at a time, to completion, on the thread that runs the loop. A
// callback may watch or unwatch any descriptor (its own included) and defer further calls.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>

namespace Kiln {

class EventLoop {
 public:
  using FdHandler = std::function<void(std::uint32_t events)>;

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Calls `handler` with the ready events (EPOLLIN, ...) while `fd` is ready for `events`
  // (level-triggered). Replaces the watch of `fd` if there is one. A failed epoll call
  // raises std::system_error.
  void fdIs(int fd, std::uint32_t events, FdHandler handler);
  // Stops watching `fd`; no event of it is delivered after this returns. Call it before
  // closing the descriptor.
  void fdDel(int fd);
  bool watching(int fd) const { return watches_.contains(fd); }

  // Runs `call` from the loop after the current callback, in FIFO order.
  void defer(std::function<void()> call);

  // One round: the deferred calls queued before the round, then the descriptors that are
  // ready within `timeoutMs` (-1: wait; 0: poll). A round with deferred calls waiting does
  // not block. Returns whether any callback ran.
  bool runOnce(int timeoutMs);
  // Rounds without waiting until one runs nothing: every deferred call has run and no
  // watched descriptor is ready.
  void runUntilIdle();
  // Rounds until stop().
  void run();
  void stop() { stopped_ = true; }

 private:
  struct Watch {
    std::uint32_t generation;
    FdHandler handler;
  };

  int epollFd_;
  std::uint32_t nextGeneration_ = 1;
  std::unordered_map<int, std::shared_ptr<Watch>> watches_;
  std::deque<std::function<void()>> deferred_;
  bool stopped_ = false;
};

// The loop of the calling thread, made on first use. Platform objects that need a loop and
// are not given one (sockets, mount groups) use it.
EventLoop& eventLoop();

}  // namespace Kiln
