// The control socket: takes over a stale socket file but never a served one, and answers
// every request, whole or in pieces, well-formed or not, with one JSON line. (Clients that
// send too much, too slowly or too many at once are cut off in cfmagentd's end-to-end
// suite, with the daemon's own limits.) Monitors get the events meant for them, within
// their own limits, however slowly they read.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <functional>
#include <memory>

#include "apps/cfmagentd/ControlServer.h"
#include "apps/control/ControlSocket.h"
#include "tests/support/ControlClient.h"
#include "tests/support/ErrorText.h"
#include "tests/support/Scratch.h"

namespace {

using Cfmagentd::ControlServer;
using TestSupport::Then;
using nlohmann::json;

// A monitor's client that reads only when the test asks for its lines.
struct MonitorClient {
  explicit MonitorClient(const std::string& path, const std::string& request = "{\"op\":\"monitor\"}\n") {
    const sockaddr_un addr = *Control::address(path);
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
    EXPECT_EQ(::send(fd, request.data(), request.size(), MSG_NOSIGNAL), ssize_t(request.size()));
  }
  ~MonitorClient() { ::close(fd); }
  std::vector<json> lines() {
    char buffer[65536];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) in.append(buffer, std::size_t(n));
    std::vector<json> out;
    for (std::size_t at = 0, end; (end = in.find('\n', at)) != std::string::npos; at = end + 1)
      out.push_back(json::parse(in.substr(at, end - at)));
    return out;
  }
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  std::string in;
};

const json ok = {{"ok", true}};

class ControlServerTest : public ::testing::Test {
 protected:
  std::string ask(const std::vector<std::string>& pieces, Then then = Then::closeWriteAndRead) {
    return TestSupport::askControl(loop, path, pieces, then);
  }
  // Runs the loop until `done`, for five seconds at most.
  bool until(const std::function<bool()>& done) {
    for (int turn = 0; turn < 500 && !done(); ++turn) loop.runOnce(10);
    return done();
  }
  // `client`'s lines once there are `count` of them.
  std::vector<json> lines(MonitorClient& client, std::size_t count) {
    until([&] { return client.lines().size() >= count; });
    return client.lines();
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

TEST_F(ControlServerTest, AStuckMonitorMissesEventsAndIsToldHowManyWhileEverythingElseGoesOn) {
  using namespace std::chrono_literals;
  ControlServer server(loop, path, echo, {.connections = 1, .timeout = 50ms, .monitorQueue = 20});
  // One at a time, through the one connection there is.
  MonitorClient stuck(path);
  ASSERT_TRUE(until([&] { return server.monitors() == 1; }));
  MonitorClient reader(path, "{\"op\":\"monitor\",\"mep\":\"3/ma1/100\"}\n");
  ASSERT_TRUE(until([&] { return server.monitors() == 2; }));
  // MEP 100's events and 101's in turn; the reader asked for 100's.
  std::vector<json> all{ok}, mine{ok};
  const auto publish = [&] {
    const json e = {{"event", "mepCreated"}, {"time", all.size()}, {"mdLevel", "3"}, {"maName", "ma1"},
                    {"mepId", all.size() % 2 ? "100" : "101"}};
    server.publish(e);
    all.push_back(e);
    if (e["mepId"] == "100") mine.push_back(e);
    reader.lines();
  };
  while (server.queuedEvents() < 20 && all.size() < 100000) publish();
  std::vector<json> expected = all;
  for (int i = 0; i < 30; ++i) publish();
  EXPECT_EQ(server.queuedEvents(), 20u);
  // Requests are served, and time out, as ever, beside the monitors, which do not.
  EXPECT_EQ(ask({"{\"op\":\"show\"}\n"}), showEchoed);
  EXPECT_EQ(ask({}, Then::read), Control::answerLine(Control::refusal("request not complete within 50 ms")));
  EXPECT_EQ(lines(reader, mine.size()), mine);
  expected.push_back({{"missed", 30}});
  ASSERT_EQ(lines(stuck, expected.size()), expected);
  publish();
  expected.push_back(all.back());
  EXPECT_EQ(lines(stuck, expected.size()), expected);
}

TEST_F(ControlServerTest, AMonitorNeedsAFreePlaceAndAMepThatParses) {
  ControlServer server(loop, path, echo, {.monitors = 1});
  const auto monitor = [&](const std::string& mep) { return ask({"{\"op\":\"monitor\",\"mep\":" + mep + "}\n"}); };
  const auto refused = [](const std::string& why) { return Control::answerLine(Control::refusal(why)); };
  auto first = std::make_unique<MonitorClient>(path);
  ASSERT_TRUE(until([&] { return server.monitors() == 1; }));
  EXPECT_EQ(monitor("\"3/ma1/100\""), refused("busy: 1 monitors open"));
  for (const auto& [mep, shown] : {std::pair{"\"3/ma1\"", "'3/ma1'"}, {"\"8/ma1/1\"", "'8/ma1/1'"}, {"1", "number"}})
    EXPECT_EQ(monitor(mep), refused(std::string("mep: ") + shown + " is not LEVEL/MA/ID (level 0-7, MEP id 1-8191)"));
  first.reset();
  ASSERT_TRUE(until([&] { return server.monitors() == 0; }));
  // Closing its side (as ask() does) ends a monitor at once.
  EXPECT_EQ(monitor("\"3/ma1/100\""), ok.dump() + "\n");
}

}  // namespace
