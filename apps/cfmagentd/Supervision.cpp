#include "apps/cfmagentd/Supervision.h"

#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

namespace Cfmagentd {

Supervision::Supervision(Kiln::EventLoop& loop, Log log) : loop_(loop), log_(std::move(log)) {
  supervised_ = std::getenv("NOTIFY_SOCKET") != nullptr;
  if (!supervised_) return;
  // Also checks WATCHDOG_PID: a watchdog kept for another process is not ours to feed.
  std::uint64_t usec = 0;
  if (sd_watchdog_enabled(0, &usec) > 0) watchdog_ = std::chrono::microseconds(usec);
}

Supervision::~Supervision() { stopPings(); }

void Supervision::stopPings() {
  if (timerFd_ < 0) return;
  loop_.fdDel(timerFd_);
  ::close(timerFd_);
  timerFd_ = -1;
}

void Supervision::notify(const std::string& state) {
  const int sent = sd_notify(0, state.c_str());
  if (sent >= 0) return;
  // A missed ping is repeated half an interval later; saying so each time would flood the log.
  const bool ping = state == "WATCHDOG=1";
  if (ping && std::exchange(pingFailed_, true)) return;
  log_("cannot notify the service manager (" + state.substr(0, state.find('\n')) + "): " + std::strerror(-sent));
}

void Supervision::readyIs(const std::string& status) {
  if (!supervised_) return;
  notify("READY=1\nSTATUS=" + status);
  if (watchdog_.count() == 0 || timerFd_ >= 0) return;
  // The ping comes from a timer on the loop, not a thread of its own: a callback that never
  // returns stops the pings, and that is what the watchdog is for.
  timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
  if (timerFd_ < 0) throw std::system_error(errno, std::generic_category(), "watchdog timer");
  const auto half = watchdog_ / 2;
  itimerspec every{};
  every.it_interval.tv_sec = time_t(half.count() / 1000000);
  every.it_interval.tv_nsec = long(half.count() % 1000000) * 1000;
  if (every.it_interval.tv_sec == 0 && every.it_interval.tv_nsec == 0) every.it_interval.tv_nsec = 1000;
  every.it_value = every.it_interval;
  ::timerfd_settime(timerFd_, 0, &every, nullptr);
  loop_.fdIs(timerFd_, EPOLLIN, [this](std::uint32_t) {
    std::uint64_t expiries;
    if (::read(timerFd_, &expiries, sizeof expiries) > 0) notify("WATCHDOG=1");
  });
}

void Supervision::stoppingIs() {
  if (!supervised_) return;
  stopPings();
  notify("STOPPING=1");
}

}  // namespace Cfmagentd
