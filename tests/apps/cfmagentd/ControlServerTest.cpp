// The control socket: owner-only, takes over a stale socket file but never a served one,
// and answers every request, whole or in pieces, well-formed or not, with one JSON line.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "apps/cfmagentd/ControlServer.h"
#include "tests/support/Scratch.h"

namespace {

using namespace std::chrono_literals;
using Runner::ControlServer;

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  return addr;
}

int connectTo(const std::string& path) {
  const sockaddr_un addr = addressOf(path);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// One client exchange: `pieces` written with a pause between them, the write side closed
// when `closeWrite`, then everything the server sends until it closes.
std::string exchange(const std::string& path, const std::vector<std::string>& pieces, bool closeWrite) {
  const int fd = connectTo(path);
  if (fd < 0) return "connect failed: " + std::string(std::strerror(errno));
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) std::this_thread::sleep_for(20ms);
    if (::send(fd, pieces[i].data(), pieces[i].size(), MSG_NOSIGNAL) != ssize_t(pieces[i].size())) break;
  }
  if (closeWrite) ::shutdown(fd, SHUT_WR);
  std::string answer;
  char buffer[4096];
  for (ssize_t n; (n = ::read(fd, buffer, sizeof buffer)) > 0;) answer.append(buffer, std::size_t(n));
  ::close(fd);
  return answer;
}

class ControlServerTest : public ::testing::Test {
 protected:
  // Runs the loop while `client` runs on a thread of its own; its result.
  template <typename F>
  auto whileServing(F client) {
    auto result = std::async(std::launch::async, client);
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    while (result.wait_for(0ms) != std::future_status::ready && std::chrono::steady_clock::now() < deadline) {
      loop.runOnce(10);
    }
    return result.get();
  }
  std::string ask(const std::vector<std::string>& pieces, bool closeWrite = true) {
    return whileServing([&] { return exchange(path, pieces, closeWrite); });
  }
  // Answers each request with what it asked, and counts them.
  ControlServer::Handler echo() {
    return [this](const nlohmann::json& request) {
      ++handled;
      return nlohmann::json{{"ok", true}, {"echo", request}};
    };
  }

  TestSupport::ScratchDir dir;
  const std::string path = dir / "control.sock";
  const std::string showEchoed = "{\"echo\":{\"op\":\"show\"},\"ok\":true}\n";
  Kiln::EventLoop loop;
  int handled = 0;
};

TEST_F(ControlServerTest, TheSocketIsOwnerOnlyWhateverTheUmask) {
  const mode_t old = ::umask(0);
  std::optional<ControlServer> server;
  server.emplace(loop, path, echo());
  ::umask(old);
  struct stat st {};
  ASSERT_EQ(::lstat(path.c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  server.reset();
  EXPECT_NE(::access(path.c_str(), F_OK), 0) << "the socket file outlives its server";
}

TEST_F(ControlServerTest, AStaleSocketIsTakenOverButNotAServedOneOrAnotherFile) {
  // A socket file left by a daemon that died: bound, nobody listening.
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un addr = addressOf(path);
  ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  ::close(fd);
  ControlServer server(loop, path, echo());
  try {
    ControlServer second(loop, path, echo());
    ADD_FAILURE() << "a second server took the path";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()), path + ": another daemon is serving it");
  }
  EXPECT_EQ(ask({"{\"op\":\"show\"}\n"}), showEchoed);

  const std::string file = dir / "notes.txt";
  TestSupport::writeFile(file, "keep me");
  EXPECT_THROW(ControlServer(loop, file, echo()), std::runtime_error);
  EXPECT_EQ(TestSupport::readFile(file), "keep me");
  EXPECT_THROW(ControlServer(loop, dir / std::string(120, 'x'), echo()), std::runtime_error);
}

TEST_F(ControlServerTest, EveryRequestGetsOneAnswerLine) {
  ControlServer server(loop, path, echo());
  struct Case {
    std::vector<std::string> pieces;
    bool closeWrite;
    std::string answer;  // "" when a refusal is expected
  };
  const Case cases[] = {
      {{"{\"op\":", "\"sh", "ow\"}\n"}, false, showEchoed},  // split over writes
      {{"{\"op\":\"show\"}"}, true, showEchoed},              // no newline, then closed
      {{"{\"a\":1}\n{\"b\":2}\n"}, true, "{\"echo\":{\"a\":1},\"ok\":true}\n"},
      {{"show counters\n"}, false, ""},
      {{"{\"op\":"}, true, ""},
      {{}, true, ""},
  };
  for (const auto& c : cases) {
    const auto answer = ask(c.pieces, c.closeWrite);
    SCOPED_TRACE(c.pieces.empty() ? "nothing" : c.pieces[0]);
    if (!c.answer.empty()) {
      EXPECT_EQ(answer, c.answer);
      continue;
    }
    ASSERT_FALSE(answer.empty());
    EXPECT_EQ(answer.back(), '\n');
    const auto json = nlohmann::json::parse(answer);
    EXPECT_EQ(json["ok"], false);
    EXPECT_EQ(json.value("error", "").rfind("bad request: ", 0), 0u) << answer;
  }
  EXPECT_EQ(handled, 3);
}

TEST_F(ControlServerTest, AClientThatLeavesEarlyDoesNotStopTheServer) {
  const nlohmann::json big = {{"ok", true}, {"big", std::string(1 << 20, 'x')}};
  ControlServer server(loop, path, [&](const nlohmann::json&) { return big; });
  // Asks and leaves without reading the answer.
  whileServing([&] {
    const int fd = connectTo(path);
    ::send(fd, "{}\n", 3, MSG_NOSIGNAL);
    return ::close(fd);
  });
  for (int i = 0; i < 20; ++i) loop.runOnce(5);
  EXPECT_EQ(ask({"{}\n"}), big.dump() + "\n");
}

}  // namespace
