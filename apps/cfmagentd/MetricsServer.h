#pragma once
// The /metrics endpoint a Prometheus scrapes (docs/fleet.md), served by CivetWeb on threads
// of its own.
//
// A scrape asks the event loop for a snapshot through an eventfd the loop watches, waits
// for it, and formats it on its own thread: the loop only copies numbers out of the state
// database, between two of its callbacks, and agent state is never read anywhere else.
// Scrapes that arrive together share one snapshot.
//
// Whoever reaches the port is not trusted to be well-behaved: only so many scrapes are
// served at once (the rest wait in a short queue, then in the kernel's listen backlog),
// a request is read and its answer written within a timeout, and a request is held only up
// to a size. A loop that does not give its snapshot in time is answered 503.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "apps/runner/Metrics.h"
#include "platform/kiln/EventLoop.h"

struct mg_context;
struct mg_connection;

namespace Cfmagentd {

struct MetricsLimits {
  // Scrapes served at once. A Prometheus or two scrape each target; more is a mistake or
  // an attack, and each scrape of a large switch holds its text (docs/fleet.md).
  unsigned connections = 4;
  // Accepted connections waiting for one of those.
  unsigned queue = 8;
  // For reading a request, for the loop's snapshot, and for the client to take the answer.
  std::chrono::milliseconds timeout{5000};
};

class MetricsServer {
 public:
  using Snapshot = std::function<Runner::MetricsSnapshot()>;
  using Log = std::function<void(const std::string&)>;

  // Listens on `address` ("127.0.0.1:9750", or a port alone for every address; port 0 for
  // any; IPv4 only: Debian's CivetWeb is built without IPv6). `snapshot` is
  // called on the loop; `version` goes to cfm_build_info; `log` gets the server's errors,
  // from its threads. Throws std::runtime_error with the reason when it cannot listen.
  MetricsServer(Kiln::EventLoop& loop, const std::string& address, Snapshot snapshot, std::string version,
                Log log = {}, MetricsLimits limits = {});
  ~MetricsServer();
  MetricsServer(const MetricsServer&) = delete;
  MetricsServer& operator=(const MetricsServer&) = delete;

  // The port listened on: the one given, or the kernel's choice.
  int port() const { return port_; }

 private:
  static int handle(mg_connection* connection, void* self);
  static int logMessage(const mg_connection* connection, const char* message);
  // On a server thread: a snapshot taken after the call began, or null when the loop did
  // not give one in time or the server is stopping.
  std::shared_ptr<const Runner::MetricsSnapshot> take();
  // On the loop: takes a snapshot for every scrape waiting.
  void serve();

  Kiln::EventLoop& loop_;
  Snapshot snapshot_;
  std::string version_;
  Log log_;
  MetricsLimits limits_;
  int eventFd_ = -1;
  std::mutex mutex_;
  std::condition_variable served_;
  std::uint64_t asked_ = 0;   // scrapes that asked for a snapshot
  std::uint64_t answered_ = 0;  // of those, the ones the latest snapshot answers
  std::shared_ptr<const Runner::MetricsSnapshot> latest_;
  bool stopping_ = false;
  mg_context* context_ = nullptr;
  int port_ = 0;
};

}  // namespace Cfmagentd
