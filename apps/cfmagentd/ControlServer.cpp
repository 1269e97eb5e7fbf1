#include "apps/cfmagentd/ControlServer.h"

#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace Runner {

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::strerror(errno));
}

sockaddr_un unixAddress(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof addr.sun_path) {
    throw std::runtime_error("control socket path '" + path + "' is empty or too long");
  }
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return addr;
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

std::string defaultControlPath() {
  if (const char* path = std::getenv("CFMAGENTD_SOCKET"); path && *path) return path;
  if (::geteuid() == 0) return "/run/cfmagentd.sock";
  if (const char* dir = std::getenv("XDG_RUNTIME_DIR"); dir && *dir) {
    return std::string(dir) + "/cfmagentd.sock";
  }
  return "/tmp/cfmagentd-" + std::to_string(::geteuid()) + ".sock";
}

ControlServer::ControlServer(Kiln::EventLoop& loop, std::string path, Handler handler)
    : loop_(loop), path_(std::move(path)), handler_(std::move(handler)) {
  const sockaddr_un addr = unixAddress(path_);
  struct stat st {};
  if (::lstat(path_.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) throw std::runtime_error(path_ + ": exists and is not a socket");
    if (served(addr)) throw std::runtime_error(path_ + ": another daemon is serving it");
    ::unlink(path_.c_str());
  }
  fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd_ < 0) fail("control socket");
  // Owner-only from the moment the file exists: the umask covers the window before chmod.
  const mode_t old = ::umask(0177);
  const int bound = ::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
  ::umask(old);
  if (bound < 0 || ::chmod(path_.c_str(), 0600) < 0 || ::listen(fd_, 16) < 0) {
    const int e = errno;
    ::close(fd_);
    errno = e;
    fail(path_);
  }
  loop_.fdIs(fd_, EPOLLIN, [this](std::uint32_t) { accept(); });
}

ControlServer::~ControlServer() {
  while (!connections_.empty()) close(connections_.begin()->first);
  loop_.fdDel(fd_);
  ::close(fd_);
  ::unlink(path_.c_str());
}

void ControlServer::accept() {
  for (;;) {
    const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) return;  // EAGAIN, or a client that gave up
    connections_[fd];
    loop_.fdIs(fd, EPOLLIN, [this, fd](std::uint32_t) { readable(fd); });
  }
}

void ControlServer::readable(int fd) {
  Connection& c = connections_.at(fd);
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      return close(fd);
    }
    if (n > 0) c.in.append(buffer, std::size_t(n));
    const auto end = c.in.find('\n');
    if (end == std::string::npos && n > 0) {
      if (c.in.size() > maxRequestBytes) {
        return respond(fd, {{"ok", false}, {"error", "request too large"}});
      }
      continue;
    }
    // A full line, or the client closed its side after an unterminated one.
    if (end != std::string::npos) c.in.resize(end);
    nlohmann::json answer;
    try {
      answer = handler_(nlohmann::json::parse(c.in));
    } catch (const nlohmann::json::exception& e) {
      answer = {{"ok", false}, {"error", std::string("bad request: ") + e.what()}};
    }
    return respond(fd, answer);
  }
}

void ControlServer::respond(int fd, const nlohmann::json& answer) {
  Connection& c = connections_.at(fd);
  c.out = answer.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
  loop_.fdIs(fd, EPOLLOUT, [this, fd](std::uint32_t) { writable(fd); });
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

void ControlServer::close(int fd) {
  loop_.fdDel(fd);
  ::close(fd);
  connections_.erase(fd);
}

}  // namespace Runner
