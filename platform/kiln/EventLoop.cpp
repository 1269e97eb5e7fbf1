#include "platform/kiln/EventLoop.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace Kiln {

namespace {

[[noreturn]] void throwErrno(const char* what) {
  throw std::system_error(errno, std::generic_category(), what);
}

// epoll's user data carries the descriptor and the generation of its watch, so that an
// event queued for a descriptor that was unwatched (and perhaps reused) in the same round
// is recognised and dropped.
std::uint64_t tag(int fd, std::uint32_t generation) {
  return (std::uint64_t(generation) << 32) | std::uint32_t(fd);
}

}  // namespace

EventLoop::EventLoop() : epollFd_(epoll_create1(EPOLL_CLOEXEC)) {
  if (epollFd_ < 0) throwErrno("epoll_create1");
}

EventLoop::~EventLoop() { ::close(epollFd_); }

void EventLoop::fdIs(int fd, std::uint32_t events, FdHandler handler) {
  auto watch = std::make_shared<Watch>(Watch{nextGeneration_++, std::move(handler)});
  epoll_event ev{};
  ev.events = events;
  ev.data.u64 = tag(fd, watch->generation);
  const bool known = watches_.contains(fd);
  if (epoll_ctl(epollFd_, known ? EPOLL_CTL_MOD : EPOLL_CTL_ADD, fd, &ev) != 0) {
    throwErrno(known ? "epoll_ctl(MOD)" : "epoll_ctl(ADD)");
  }
  watches_[fd] = std::move(watch);
}

void EventLoop::fdDel(int fd) {
  if (watches_.erase(fd) == 0) return;
  // The descriptor may already be closed, in which case the kernel dropped it for us.
  epoll_ctl(epollFd_, EPOLL_CTL_DEL, fd, nullptr);
}

void EventLoop::defer(std::function<void()> call) { deferred_.push_back(std::move(call)); }

bool EventLoop::runOnce(int timeoutMs) {
  bool ran = false;
  for (std::size_t n = deferred_.size(); n > 0 && !deferred_.empty(); --n) {
    auto call = std::move(deferred_.front());
    deferred_.pop_front();
    call();
    ran = true;
  }
  if (!deferred_.empty()) timeoutMs = 0;

  epoll_event events[64];
  int ready = epoll_wait(epollFd_, events, 64, timeoutMs);
  if (ready < 0) {
    if (errno == EINTR) return ran;
    throwErrno("epoll_wait");
  }
  for (int i = 0; i < ready; ++i) {
    const int fd = static_cast<int>(events[i].data.u64 & 0xffffffffu);
    const auto generation = static_cast<std::uint32_t>(events[i].data.u64 >> 32);
    auto it = watches_.find(fd);
    if (it == watches_.end() || it->second->generation != generation) continue;
    // Hold the watch: the handler may replace or delete it.
    std::shared_ptr<Watch> watch = it->second;
    watch->handler(events[i].events);
    ran = true;
  }
  return ran;
}

void EventLoop::runUntilIdle() {
  while (runOnce(0)) {
  }
}

void EventLoop::run() {
  stopped_ = false;
  while (!stopped_) runOnce(-1);
}

EventLoop& eventLoop() {
  thread_local EventLoop loop;
  return loop;
}

}  // namespace Kiln
