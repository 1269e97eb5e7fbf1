#pragma once
// A client of a control socket served by the calling thread's own loop: it never blocks, and
// runs the loop between its writes and reads so that the server can answer.

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "apps/control/ControlSocket.h"
#include "platform/kiln/EventLoop.h"

namespace TestSupport {

// After the request: read the answer, close the write side first, or leave at once.
enum class Then { read, closeWriteAndRead, leave };

// Writes `pieces` to the socket at `path`, each given two loop turns of up to `turnMs` to be
// read on its own, then returns what the server sends until it closes (or `turns` turns
// pass). A piece the server closes on before its end is cut short.
inline std::string askControl(Kiln::EventLoop& loop, const std::string& path, const std::vector<std::string>& pieces,
                              Then then = Then::closeWriteAndRead, int turnMs = 10, int turns = 500) {
  const auto addr = Control::address(path);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (!addr || ::connect(fd, reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) != 0) {
    return ::close(fd), "connect failed";
  }
  for (const auto& piece : pieces) {
    for (std::size_t sent = 0; sent < piece.size(); loop.runOnce(turnMs)) {
      const ssize_t n = ::send(fd, piece.data() + sent, piece.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno != EAGAIN) break;
      sent += std::size_t(n > 0 ? n : 0);
    }
    loop.runOnce(turnMs), loop.runOnce(turnMs);
  }
  if (then == Then::closeWriteAndRead) ::shutdown(fd, SHUT_WR);
  std::string answer;
  char buffer[65536];
  ssize_t n = -1;
  for (int turn = 0; then != Then::leave && n != 0 && turn < turns; ++turn) {
    loop.runOnce(turnMs);
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) answer.append(buffer, std::size_t(n));
  }
  ::close(fd);
  return answer;
}

}  // namespace TestSupport
