#pragma once
// The control socket cfmctl talks to: a Unix stream socket, owner-only, served from the
// event loop, one request per connection (apps/control/ControlSocket.h has the messages),
// or a monitor that stays open for the events published to it.
//
// Only reading the request and writing the answer wait on the client, and both are
// non-blocking on the loop; a slow client never holds up frame processing. Whoever can open
// the socket is trusted with the agent, but not to be well-behaved: a request is held only
// up to a size, a connection only for a while, and only so many at once, so that a stuck or
// runaway client costs bounded memory and never starves cfmctl for long. A monitor that
// does not keep up loses events instead, and is told how many.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "apps/runner/Events.h"
#include "platform/kiln/EventLoop.h"

namespace Cfmagentd {

struct ControlLimits {
  // A longer request is answered with an error. A configuration travels whole in one
  // request (cfmctl config apply), so this is also the largest one that can be applied.
  std::size_t requestBytes = 1 << 20;
  // Connections beyond this are answered "busy" at once and closed.
  std::size_t connections = 32;
  // From accepting a connection until its request is complete, and again for the client to
  // take the answer. cfmctl sends its request at once; only a stuck client needs longer.
  std::chrono::milliseconds timeout{5000};
  // Monitors open at once, apart from the connections above: they stay open for as long as
  // their clients like, and must not lock cfmctl's requests out.
  std::size_t monitors = 16;
  // Events held for one monitor that has not taken them; more are dropped and counted.
  // A few hundred bytes each, so some hundreds of KiB at most per monitor.
  std::size_t monitorQueue = 1000;
};

class ControlServer {
 public:
  using Handler = std::function<nlohmann::json(const nlohmann::json& request)>;

  // Listens on `path`, replacing a stale socket file that nobody serves. A path served by
  // a running daemon, or any socket error, raises std::runtime_error.
  ControlServer(Kiln::EventLoop& loop, std::string path, Handler handler, ControlLimits limits = {});
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  const std::string& path() const { return path_; }

  std::size_t connections() const { return connections_.size(); }
  std::size_t monitors() const { return monitors_.size(); }
  // Events queued for all monitors together, not yet taken by their clients.
  std::size_t queuedEvents() const;

  // Sends `event` (one of Runner::eventJson) to each monitor that asked for its MEP's
  // events; a monitor whose queue is full misses it. Call it from the loop.
  void publish(const nlohmann::json& event);

 private:
  using Clock = std::chrono::steady_clock;
  struct Connection {
    std::string in;
    std::string out;
    std::size_t written = 0;
    Clock::time_point deadline;
  };
  // A line queued for a monitor: an event's, shared by all the monitors that get it, or the
  // server's own (the first answer, a missed count).
  struct Line {
    std::shared_ptr<const std::string> text;
    bool event;
  };
  struct Monitor {
    std::optional<Runner::MepName> mep;  // none: every MEP's events
    std::deque<Line> queue;
    std::size_t events = 0;   // of the queue
    std::size_t written = 0;  // of the queue's first line
    std::uint64_t missed = 0;  // since the client was last told
    bool writing = false;      // watched for EPOLLOUT
  };
  void accept();
  void acceptingIs(bool accepting);
  void expire();
  void timerIs();
  void readable(int fd);
  void writable(int fd);
  void respond(int fd, const nlohmann::json& answer);
  void close(int fd);
  void monitor(int fd, const nlohmann::json& request);
  void monitorReady(int fd, std::uint32_t events);
  void flush(int fd);

  Kiln::EventLoop& loop_;
  std::string path_;
  Handler handler_;
  ControlLimits limits_;
  int fd_ = -1;
  int timerFd_ = -1;
  bool accepting_ = false;
  std::map<int, Connection> connections_;
  std::map<int, Monitor> monitors_;
};

}  // namespace Cfmagentd
