// The metrics endpoint over real HTTP: what each request gets, that the figures are taken on
// the loop's thread, fresh for each scrape and arrive whole, and what a stuck loop or a taken
// port gives.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>
#include <thread>

#include "apps/cfmagentd/MetricsServer.h"
#include "tests/support/ErrorText.h"

namespace {

using Cfmagentd::MetricsServer;

// Sends `request` to 127.0.0.1:`port` and reads the answer until the server closes.
std::string exchange(int port, const std::string& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(std::uint16_t(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string answer;
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
      ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == ssize_t(request.size())) {
    char buf[4096];
    for (ssize_t n; (n = ::recv(fd, buf, sizeof buf, 0)) > 0;) answer.append(buf, std::size_t(n));
  }
  ::close(fd);
  return answer;
}

class MetricsServerTest : public ::testing::Test {
 protected:
  // The answer to `request`, the loop run meanwhile as cfmagentd runs it. A body is whole:
  // as long as its Content-Length says.
  std::string scrape(const MetricsServer& server, const std::string& request) {
    auto future = std::async(std::launch::async, exchange, server.port(), request);
    while (future.wait_for(std::chrono::seconds(0)) != std::future_status::ready) loop.runOnce(10);
    const std::string answer = future.get();
    const auto length = answer.find("Content-Length: "), body = answer.find("\r\n\r\n");
    if (length != std::string::npos && request.starts_with("GET")) {
      EXPECT_EQ(std::to_string(answer.size() - body - 4), answer.substr(length + 16, answer.find('\r', length) - length - 16));
    }
    return answer;
  }
  // Megabytes of text, which no socket sends at once; the first count is the number of
  // snapshots taken so far.
  MetricsServer::Snapshot counting = [this] {
    EXPECT_EQ(std::this_thread::get_id(), loopThread);
    Runner::MetricsSnapshot s;
    s.intfs = {"Ethernet1"};
    s.counters = {{0, 3, 3, 0, ++snapshots}};
    s.counters.resize(40000, {0, 3, 5, 0, 0});
    return s;
  };

  Kiln::EventLoop loop;
  const std::thread::id loopThread = std::this_thread::get_id();
  std::uint64_t snapshots = 0;
};

TEST_F(MetricsServerTest, EachRequestGetsItsAnswer) {
  MetricsServer server(loop, "127.0.0.1:0", counting, "v1");
  ASSERT_GT(server.port(), 0);
  const std::string sample = "cfm_frames_received_total{interface=\"Ethernet1\",level=\"3\",opcode=\"3\"} ";
  const struct {
    std::string request;
    std::string status;
    std::string contains;  // in the answer
    std::string absent;    // not in it
  } cases[] = {
      {"GET /metrics HTTP/1.1\r\nHost: sw\r\n\r\n", "200", "Content-Type: text/plain; version=0.0.4", "# EOF"},
      {"GET /metrics HTTP/1.1\r\nHost: sw\r\nAccept: application/openmetrics-text;version=1.0.0,text/plain;q=0.5\r\n\r\n",
       "200", "Content-Type: application/openmetrics-text; version=1.0.0", "# TYPE cfm_frames_received_total"},
      {"HEAD /metrics HTTP/1.1\r\nHost: sw\r\n\r\n", "200", "Content-Length: ", "cfm_build_info"},
      {"POST /metrics HTTP/1.1\r\nHost: sw\r\nContent-Length: 0\r\n\r\n", "405", "Allow: GET, HEAD", "cfm_"},
      {"GET /metrics/x HTTP/1.1\r\nHost: sw\r\n\r\n", "404", "", "cfm_"},
      {"GET /metrics HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n", "4", "", "cfm_"},
  };
  for (const auto& c : cases) {
    const std::string answer = scrape(server, c.request);
    // HTTP/1.0 for a request it could not read.
    EXPECT_TRUE(answer.starts_with("HTTP/1.")) << answer;
    EXPECT_EQ(answer.substr(9, c.status.size()), c.status) << c.request.substr(0, 80) << answer;
    EXPECT_NE(answer.find(c.contains), std::string::npos) << c.request.substr(0, 80) << answer;
    EXPECT_EQ(answer.find(c.absent), std::string::npos) << c.request.substr(0, 80) << answer;
  }
  // Every GET had a snapshot of its own, taken after it came; HEAD had one too.
  const std::string last = scrape(server, "GET /metrics HTTP/1.1\r\nHost: sw\r\n\r\n");
  EXPECT_NE(last.find(sample + "4\n"), std::string::npos) << last;
  EXPECT_NE(last.find("cfm_build_info{version=\"v1\"} 1\n"), std::string::npos) << last;
}

// A loop that does not turn gets no scrape stuck: 503 after the timeout.
TEST_F(MetricsServerTest, AStuckLoopIsAnswered503) {
  Cfmagentd::MetricsLimits limits;
  limits.timeout = std::chrono::milliseconds(200);
  MetricsServer server(loop, "127.0.0.1:0", counting, "v1", nullptr, limits);
  EXPECT_EQ(exchange(server.port(), "GET /metrics HTTP/1.1\r\nHost: sw\r\n\r\n").substr(0, 12), "HTTP/1.1 503");
  EXPECT_EQ(snapshots, 0u);
}

TEST_F(MetricsServerTest, AnAddressItCannotListenOnIsRefusedWithTheReason) {
  MetricsServer first(loop, "127.0.0.1:0", counting, "v1");
  const std::string taken = "127.0.0.1:" + std::to_string(first.port());
  const std::string error = TestSupport::errorOf<std::runtime_error>([&] { MetricsServer(loop, taken, counting, "v1"); });
  // CivetWeb's reason, not a guess of ours.
  EXPECT_EQ(error, "metrics " + taken + ": Failed to setup server ports");
  EXPECT_THROW(MetricsServer(loop, "not an address", counting, "v1"), std::runtime_error);
}

}  // namespace
