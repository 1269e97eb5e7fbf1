#pragma once
// What the service manager is told about the daemon (packaging/cfmagentd.service runs it
// with Type=notify and a watchdog): that it is ready once it answers frames, that its event
// loop still turns, and that it is stopping.
//
// Only under a service manager that asked for it (NOTIFY_SOCKET, WATCHDOG_USEC in the
// environment); otherwise every call does nothing and no descriptor is opened.

#include <chrono>
#include <functional>
#include <string>

#include "platform/kiln/EventLoop.h"

namespace Cfmagentd {

class Supervision {
 public:
  using Log = std::function<void(const std::string&)>;

  Supervision(Kiln::EventLoop& loop, Log log);
  ~Supervision();
  Supervision(const Supervision&) = delete;
  Supervision& operator=(const Supervision&) = delete;

  // READY=1 with `status` as the STATUS= line, then a WATCHDOG=1 from the loop at half the
  // service manager's watchdog interval.
  void readyIs(const std::string& status);
  // STOPPING=1; the pings end.
  void stoppingIs();

  // The service manager's watchdog interval; zero when it keeps none.
  std::chrono::microseconds watchdogInterval() const { return watchdog_; }

 private:
  void notify(const std::string& state);
  void stopPings();

  Kiln::EventLoop& loop_;
  Log log_;
  bool supervised_ = false;
  std::chrono::microseconds watchdog_{0};
  int timerFd_ = -1;
  bool pingFailed_ = false;
};

}  // namespace Cfmagentd
