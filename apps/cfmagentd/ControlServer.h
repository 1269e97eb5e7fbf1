#pragma once
// The control socket cfmctl talks to: a Unix stream socket, owner-only, served from the
// event loop. One request per connection: a JSON object on one line, answered by one JSON
// object on one line, then the connection closes.
//
// Only reading the request and writing the answer wait on the client, and both are
// non-blocking on the loop; a slow client never holds up frame processing.

#include <functional>
#include <map>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/kiln/EventLoop.h"

namespace Runner {

class ControlServer {
 public:
  using Handler = std::function<nlohmann::json(const nlohmann::json& request)>;

  // Listens on `path`, replacing a stale socket file that nobody serves. A path served by
  // a running daemon, or any socket error, raises std::runtime_error.
  ControlServer(Kiln::EventLoop& loop, std::string path, Handler handler);
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  const std::string& path() const { return path_; }

  // Requests longer than this are refused.
  static constexpr std::size_t maxRequestBytes = 16 << 20;

 private:
  struct Connection {
    std::string in;
    std::string out;
    std::size_t written = 0;
  };
  void accept();
  void readable(int fd);
  void writable(int fd);
  void respond(int fd, const nlohmann::json& answer);
  void close(int fd);

  Kiln::EventLoop& loop_;
  std::string path_;
  Handler handler_;
  int fd_ = -1;
  std::map<int, Connection> connections_;
};

// The default control socket: $CFMAGENTD_SOCKET, else /run/cfmagentd.sock for root, else
// $XDG_RUNTIME_DIR/cfmagentd.sock, else /tmp/cfmagentd-<uid>.sock.
std::string defaultControlPath();

}  // namespace Runner
