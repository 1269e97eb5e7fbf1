#include "apps/cfmagentd/MetricsServer.h"

#include <civetweb.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string_view>
#include <system_error>
#include <vector>

namespace Cfmagentd {

MetricsServer::MetricsServer(Kiln::EventLoop& loop, const std::string& address, Snapshot snapshot,
                             std::string version, Log log, MetricsLimits limits)
    : loop_(loop),
      snapshot_(std::move(snapshot)),
      version_(std::move(version)),
      log_(std::move(log)),
      limits_(limits) {
  eventFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (eventFd_ < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
  loop_.fdIs(eventFd_, EPOLLIN, [this](std::uint32_t) { serve(); });

  ::mg_init_library(0);
  const std::string threads = std::to_string(limits_.connections);
  const std::string queue = std::to_string(limits_.queue);
  const std::string timeout = std::to_string(limits_.timeout.count());
  // No document_root: nothing but /metrics is served. No keep-alive: a scrape a connection,
  // so that a client cannot hold one of the few threads between scrapes. No linger setting:
  // a zero linger resets the connection on close, losing what the socket has not sent yet.
  const char* options[] = {"listening_ports",    address.c_str(), "num_threads",      threads.c_str(),
                           "connection_queue",   queue.c_str(),   "listen_backlog",   queue.c_str(),
                           "request_timeout_ms", timeout.c_str(), "max_request_size", "8192",
                           "enable_keep_alive",  "no",            nullptr};
  mg_callbacks callbacks{};
  callbacks.log_message = &MetricsServer::logMessage;
  mg_init_data init{&callbacks, this, options};
  char error[256] = "";
  mg_error_data errors{nullptr, error, sizeof error};
  context_ = ::mg_start2(&init, &errors);
  if (!context_) {
    loop_.fdDel(eventFd_);
    ::close(eventFd_);
    throw std::runtime_error("metrics " + address + ": " + (error[0] ? error : "cannot listen"));
  }
  ::mg_set_request_handler(context_, "/metrics$", &MetricsServer::handle, this);
  mg_server_port ports[1]{};
  if (::mg_get_server_ports(context_, 1, ports) == 1) port_ = ports[0].port;
}

MetricsServer::~MetricsServer() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  served_.notify_all();
  ::mg_stop(context_);  // waits for the scrapes in progress, which now end at once
  loop_.fdDel(eventFd_);
  ::close(eventFd_);
}

std::shared_ptr<const Runner::MetricsSnapshot> MetricsServer::take() {
  std::unique_lock lock(mutex_);
  if (stopping_) return nullptr;
  const std::uint64_t ask = ++asked_;
  const std::uint64_t one = 1;
  if (::write(eventFd_, &one, sizeof one) != sizeof one && errno != EAGAIN) return nullptr;
  if (!served_.wait_for(lock, limits_.timeout, [&] { return answered_ >= ask || stopping_; }) || stopping_) {
    return nullptr;
  }
  return latest_;
}

void MetricsServer::serve() {
  std::uint64_t count;
  if (::read(eventFd_, &count, sizeof count) != sizeof count) return;
  std::uint64_t ask;
  {
    std::lock_guard lock(mutex_);
    ask = asked_;
  }
  auto snapshot = std::make_shared<const Runner::MetricsSnapshot>(snapshot_());
  {
    std::lock_guard lock(mutex_);
    latest_ = std::move(snapshot);
    answered_ = ask;
  }
  served_.notify_all();
}

int MetricsServer::handle(mg_connection* connection, void* data) {
  auto& self = *static_cast<MetricsServer*>(data);
  const std::string_view method = ::mg_get_request_info(connection)->request_method;
  if (method != "GET" && method != "HEAD") {
    ::mg_response_header_start(connection, 405);
    ::mg_response_header_add(connection, "Allow", "GET, HEAD", -1);
    ::mg_response_header_add(connection, "Content-Length", "0", -1);
    ::mg_response_header_send(connection);
    return 405;
  }
  const auto snapshot = self.take();
  if (!snapshot) {
    ::mg_send_http_error(connection, 503, "%s", "the agent did not give its figures in time\n");
    return 503;
  }
  const char* accept = ::mg_get_header(connection, "Accept");
  const auto format = Runner::metricsFormatFor(accept ? accept : "");
  const std::string text = Runner::metricsText(*snapshot, format, self.version_);
  ::mg_send_http_ok(connection, Runner::metricsContentType(format), static_cast<long long>(text.size()));
  if (method == "GET") ::mg_write(connection, text.data(), text.size());
  return 200;
}

int MetricsServer::logMessage(const mg_connection* connection, const char* message) {
  const auto* context = ::mg_get_context(connection);
  auto* self = context ? static_cast<MetricsServer*>(::mg_get_user_data(context)) : nullptr;
  if (self && self->log_) self->log_(std::string("metrics: ") + message);
  return 1;
}

}  // namespace Cfmagentd
