#include "apps/cfmagentd/ControlServer.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <numeric>
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
  while (!monitors_.empty()) close(monitors_.begin()->first);
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
      const auto request = nlohmann::json::parse(c.in);
      // The server's own: the connection outlives the answer, which no handler's does.
      if (request.is_object() && request.value("op", nlohmann::json()) == "monitor") return monitor(fd, request);
      answer = handler_(request);
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
  monitors_.erase(fd);
  acceptingIs(true);
}

void ControlServer::monitor(int fd, const nlohmann::json& request) {
  std::optional<Runner::MepName> mep;
  if (const auto it = request.find("mep"); it != request.end()) {
    mep = it->is_string() ? Runner::mepNameOf(it->get<std::string>()) : std::nullopt;
    if (!mep) {
      return respond(fd, refusal("mep: " + (it->is_string() ? "'" + it->get<std::string>() + "'" : it->type_name()) +
                                 " is not LEVEL/MA/ID (level 0-7, MEP id " + std::to_string(Cfm::MepId::min) + "-" +
                                 std::to_string(Cfm::MepId::max) + ")"));
    }
  }
  if (monitors_.size() >= limits_.monitors) {
    return respond(fd, refusal("busy: " + std::to_string(monitors_.size()) + " monitors open"));
  }
  connections_.erase(fd);
  timerIs();  // its deadline has gone with it
  Monitor& m = monitors_[fd];
  m.mep = std::move(mep);
  m.queue.push_back({std::make_shared<const std::string>(Control::answerLine({{"ok", true}})), false});
  loop_.fdIs(fd, EPOLLIN, [this, fd](std::uint32_t events) { monitorReady(fd, events); });
  flush(fd);
}

void ControlServer::monitorReady(int fd, std::uint32_t events) {
  if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
    // Nothing more is asked on a monitor; what the client sends is read only to see it go.
    // One read a turn: a client that writes without end must not keep the loop here.
    char buffer[4096];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) return close(fd);
  }
  if (events & EPOLLOUT) flush(fd);
}

void ControlServer::publish(const nlohmann::json& event) {
  // Serialised once, however many monitors take it.
  std::shared_ptr<const std::string> line;
  std::vector<int> idle;
  for (auto& [fd, m] : monitors_) {
    if (m.mep && !Runner::eventIsFor(event, *m.mep)) continue;
    if (m.events >= limits_.monitorQueue) {
      ++m.missed;
      continue;
    }
    if (!line) line = std::make_shared<const std::string>(Control::answerLine(event));
    m.queue.push_back({line, true});
    ++m.events;
    // One that is still writing has the socket's readiness to wait for.
    if (!m.writing) idle.push_back(fd);
  }
  for (const int fd : idle) flush(fd);
}

// Writes what the socket takes; the rest waits for EPOLLOUT.
void ControlServer::flush(int fd) {
  Monitor& m = monitors_.at(fd);
  for (;;) {
    // Told as soon as there is room, before the events that come after the missed ones.
    if (m.missed && m.events < limits_.monitorQueue) {
      m.queue.push_back({std::make_shared<const std::string>(Control::answerLine({{"missed", m.missed}})), false});
      m.missed = 0;
    }
    if (m.queue.empty()) break;
    iovec iov[64];
    std::size_t count = 0;
    for (auto it = m.queue.begin(); it != m.queue.end() && count < std::size(iov); ++it, ++count) {
      const std::size_t skip = count == 0 ? m.written : 0;
      iov[count] = {const_cast<char*>(it->text->data()) + skip, it->text->size() - skip};
    }
    msghdr message{};
    message.msg_iov = iov;
    message.msg_iovlen = count;
    const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) break;
      return close(fd);  // the client went
    }
    for (std::size_t sent = std::size_t(n); sent > 0;) {
      const Line& first = m.queue.front();
      const std::size_t rest = first.text->size() - m.written;
      if (sent < rest) {
        m.written += sent;
        break;
      }
      sent -= rest;
      m.written = 0;
      if (first.event) --m.events;
      m.queue.pop_front();
    }
  }
  if (const bool writing = !m.queue.empty(); writing != m.writing) {
    m.writing = writing;
    loop_.fdIs(fd, EPOLLIN | (writing ? EPOLLOUT : 0u),
               [this, fd](std::uint32_t events) { monitorReady(fd, events); });
  }
}

std::size_t ControlServer::queuedEvents() const {
  return std::accumulate(monitors_.begin(), monitors_.end(), std::size_t(0),
                         [](std::size_t sum, const auto& monitor) { return sum + monitor.second.events; });
}

}  // namespace Cfmagentd
