// The control socket: takes over a stale socket file but never a served one, and answers
// every request, whole or in pieces, well-formed or not, with one JSON line. (Clients that
// send too much, too slowly or too many at once are cut off in cfmagentd's end-to-end
// suite, with the daemon's own limits, as are monitors.)

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "apps/cfmagentd/ControlServer.h"
#include "apps/control/ControlSocket.h"
#include "tests/support/ControlClient.h"
#include "tests/support/ErrorText.h"
#include "tests/support/Scratch.h"

namespace {

using Cfmagentd::ControlServer;
using TestSupport::Then;

class ControlServerTest : public ::testing::Test {
 protected:
  std::string ask(const std::vector<std::string>& pieces, Then then = Then::closeWriteAndRead) {
    return TestSupport::askControl(loop, path, pieces, then);
  }
  // Answers each request with what it asked, and counts them.
  const ControlServer::Handler echo = [this](const nlohmann::json& r) {
    return ++handled, nlohmann::json{{"ok", true}, {"echo", r}};
  };

  TestSupport::ScratchDir dir;
  const std::string path = dir / "control.sock";
  const std::string showEchoed = "{\"echo\":{\"op\":\"show\"},\"ok\":true}\n";
  Kiln::EventLoop loop;
  int handled = 0;
};

// A stale socket file is taken over, but not a served path or another file; and every
// request, whole or in pieces, well-formed or not, gets one answer line.
TEST_F(ControlServerTest, TheSocketFileAndOneAnswerLinePerRequest) {
  const int stale = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);  // bound, nobody listening
  const sockaddr_un addr = *Control::address(path);
  ASSERT_EQ(::bind(stale, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  ::close(stale);
  ControlServer server(loop, path, echo);
  EXPECT_EQ(TestSupport::errorOf<std::runtime_error>([&] { ControlServer second(loop, path, echo); }),
            path + ": another daemon is serving it");
  TestSupport::writeFile(dir / "notes.txt", "keep me");
  EXPECT_THROW(ControlServer(loop, dir / "notes.txt", echo), std::runtime_error);
  EXPECT_EQ(TestSupport::readFile(dir / "notes.txt"), "keep me");

  // The answer, or "" for a refusal.
  const std::tuple<std::vector<std::string>, Then, std::string> cases[] = {
      {{"{\"op\":", "\"sh", "ow\"}\n"}, Then::read, showEchoed},
      {{"{\"op\":\"show\"}"}, Then::closeWriteAndRead, showEchoed},  // no newline, then closed
      {{"{\"a\":1}\n{\"b\":2}\n"}, Then::closeWriteAndRead, "{\"echo\":{\"a\":1},\"ok\":true}\n"},
      {{"show counters\n"}, Then::read, ""},
      {{"{\"op\":"}, Then::closeWriteAndRead, ""},
      {{}, Then::closeWriteAndRead, ""},
  };
  for (const auto& [pieces, then, expected] : cases) {
    const auto answer = ask(pieces, then);
    SCOPED_TRACE(pieces.empty() ? "nothing" : pieces[0]);
    if (!expected.empty()) {
      EXPECT_EQ(answer, expected);
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
  EXPECT_EQ(ask({"{}\n"}, Then::leave), "");
  for (int i = 0; i < 20; ++i) loop.runOnce(5);
  EXPECT_EQ(ask({"{}\n"}), big.dump() + "\n");
}

}  // namespace
