#include "apps/cfmagentd/ControlServer.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <utility>
#include <vector>

#include "apps/control/ControlSocket.h"

namespace Cfmagentd {

namespace {

using Control::refusal;

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_un unixAddress(const std::string& path) {
  const auto addr = Control::address(path);
  if (path.empty() || !addr) throw std::runtime_error("control socket path '" + path + "' is empty or too long");
  return *addr;
}

// Whether a daemon answers on `path`.
bool served(const sockaddr_un& addr) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

}  // namespace

ControlServer::ControlServer(Kiln::EventLoop& loop, std::string path, Handler handler, ControlLimits limits)
    : loop_(loop), path_(std::move(path)), handler_(std::move(handler)), limits_(limits) {
  const sockaddr_un addr = unixAddress(path_);
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) throw std::runtime_error(path_ + ": exists and is not a socket");
    if (served(addr)) throw std::runtime_error(path_ + ": another daemon is serving it");
    ::unlink(path_.c_str());
  }
  timerFd_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
  if (timerFd_ < 0) fail("control socket timer");
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) {
    ::close(timerFd_);
    fail("control socket");
  }
  // Owner-only from the moment the file exists: the umask covers the window before chmod.
  const mode_t old = ::umask(0177);
  const int bound = ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  ::umask(old);
  if (bound < 0 || ::chmod(path_.c_str(), 0600) < 0 || ::listen(fd_, 64) < 0) {
    const int e = errno;
    ::close(fd_);
    ::close(timerFd_);
    errno = e;
    fail(path_);
  }
  loop_.fdIs(timerFd_, EPOLLIN, [this](std::uint32_t) { expire(); });
  acceptingIs(true);
}

ControlServer::~ControlServer() {
  while (!connections_.empty()) close(connections_.begin()->first);
  acceptingIs(false);
  loop_.fdDel(timerFd_);
  ::close(timerFd_);
  ::close(fd_);
  ::unlink(path_.c_str());
}

void ControlServer::acceptingIs(bool accepting) {
  if (std::exchange(accepting_, accepting) == accepting) return;
  if (accepting) {
    loop_.fdIs(fd_, EPOLLIN, [this](std::uint32_t) { accept(); });
  } else {
    loop_.fdDel(fd_);
  }
}

void ControlServer::accept() {
  // A bounded batch: a flood of connections must leave the loop free for frames between
  // batches; the listener stays ready for the rest.
  for (int batch = 0; batch < 64; ++batch) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      // Out of descriptors: the listener would stay ready and spin the loop. Resume once a
      // connection of ours closes, or at the next timer tick.
      if (errno == EMFILE || errno == ENFILE) {
        acceptingIs(false);
        timerIs();
      }
      return;  // EAGAIN, or a client that gave up
    }
    if (connections_.size() >= limits_.connections) {
      // A fresh socket's buffer takes this short line without blocking.
      const std::string busy =
          Control::answerLine(refusal("busy: " + std::to_string(connections_.size()) + " control connections open"));
      (void)!::send(fd, busy.data(), busy.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      ::close(fd);
      continue;
    }
    connections_[fd].deadline = Clock::now() + limits_.timeout;
    loop_.fdIs(fd, EPOLLIN, [this, fd](std::uint32_t) { readable(fd); });
    timerIs();
  }
}

void ControlServer::readable(int fd) {
  Connection& c = connections_.at(fd);
  char buffer[65536];
  for (;;) {
    // Never more than one byte past the limit, whatever the client sends.
    const std::size_t room = std::min(sizeof buffer, limits_.requestBytes + 1 - c.in.size());
    const ssize_t n = ::read(fd, buffer, room);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      return close(fd);
    }
    if (n > 0) c.in.append(buffer, std::size_t(n));
    const auto end = c.in.find(Control::messageEnd);
    if (end == std::string::npos && n > 0) {
      if (c.in.size() > limits_.requestBytes) {
        return respond(fd, refusal("request too large: more than " + std::to_string(limits_.requestBytes) +
                                   " bytes without a newline"));
      }
      continue;
    }
    // A full line, or the client closed its side after an unterminated one.
    if (end != std::string::npos) c.in.resize(end);
    nlohmann::json answer;
    try {
      answer = handler_(nlohmann::json::parse(c.in));
    } catch (const nlohmann::json::exception& e) {
      answer = refusal(std::string("bad request: ") + e.what());
    }
    return respond(fd, answer);
  }
}

void ControlServer::respond(int fd, const nlohmann::json& answer) {
  Connection& c = connections_.at(fd);
  std::string().swap(c.in);
  c.out = Control::answerLine(answer);
  c.deadline = Clock::now() + limits_.timeout;
  loop_.fdIs(fd, EPOLLOUT, [this, fd](std::uint32_t) { writable(fd); });
  timerIs();
}

void ControlServer::writable(int fd) {
  Connection& c = connections_.at(fd);
  while (c.written < c.out.size()) {
    const ssize_t n = ::send(fd, c.out.data() + c.written, c.out.size() - c.written, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      break;
    }
    c.written += std::size_t(n);
  }
  close(fd);
}

// A client still sending its request is told why it is cut off; one that does not take its
// answer in time is dropped.
void ControlServer::expire() {
  std::uint64_t ticks;
  (void)!::read(timerFd_, &ticks, sizeof ticks);
  const auto now = Clock::now();
  std::vector<int> late;
  for (const auto& [fd, c] : connections_) {
    if (c.deadline <= now) late.push_back(fd);
  }
  for (const int fd : late) {
    if (connections_.at(fd).out.empty()) {
      respond(fd, refusal("request not complete within " + std::to_string(limits_.timeout.count()) + " ms"));
    } else {
      close(fd);
    }
  }
  acceptingIs(true);
  timerIs();
}

// Arms the timer for the earliest deadline; while accepting is paused, for a retry soon.
void ControlServer::timerIs() {
  auto next = Clock::time_point::max();
  for (const auto& [fd, c] : connections_) next = std::min(next, c.deadline);
  if (!accepting_) next = std::min(next, Clock::now() + std::chrono::milliseconds(100));
  itimerspec wakeUp{};
  if (next != Clock::time_point::max()) {
    // An absolute CLOCK_MONOTONIC time; steady_clock is that clock on Linux. Zero would
    // disarm, so a deadline already passed fires after a nanosecond.
    const auto ns = std::max<std::int64_t>(
        1, std::chrono::duration_cast<std::chrono::nanoseconds>(next.time_since_epoch()).count());
    wakeUp.it_value.tv_sec = time_t(ns / 1000000000);
    wakeUp.it_value.tv_nsec = long(ns % 1000000000);
  }
  ::timerfd_settime(timerFd_, TFD_TIMER_ABSTIME, &wakeUp, nullptr);
}

void ControlServer::close(int fd) {
  loop_.fdDel(fd);
  ::close(fd);
  connections_.erase(fd);
  acceptingIs(true);
}

}  // namespace Cfmagentd
