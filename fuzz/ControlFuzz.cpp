// Any bytes as a client's request on the control socket of a daemon running the agent on
// the in-memory wire. The answer must be one line holding a JSON object with a boolean
// "ok" and, when not ok, an "error" text; whatever was asked, the daemon's configuration
// is still the one it started with (an accepted apply is undone between inputs).

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "apps/cfmagentd/ControlServer.h"
#include "apps/cfmagentd/Daemon.h"
#include "fuzz/Fault.h"

namespace {

struct World {
  Kiln::EventLoop& loop = Kiln::eventLoop();
  Runner::RunnerConfig base = Runner::parse(CFM_FUZZ_AGENT_CONFIG);
  std::optional<Runner::Daemon> daemon;
  std::optional<Runner::ControlServer> server;

  World() {
    daemon.emplace(loop, base);
    daemon->agentIs(CFM_AGENT_LIBRARY);
    daemon->everyDevicePresentIs(true);
    server.emplace(loop, "/tmp/cfm-fuzz-control-" + std::to_string(::getpid()) + ".sock",
                   [this](const nlohmann::json& request) { return daemon->handleRequest(request); });
    loop.runUntilIdle();
  }

  // The whole answer to `request`, the client closing its side once it has sent it.
  std::string ask(const std::string& request) {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, server->path().c_str(), sizeof addr.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
      fault(std::string("connect: ") + std::strerror(errno));
    }
    std::size_t sent = 0;
    bool shut = false;
    std::string answer;
    for (int rounds = 0;; ++rounds) {
      if (rounds > 100000) fault("no answer");
      if (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n > 0) sent += std::size_t(n);
        if (n < 0 && errno != EAGAIN) sent = request.size();  // answered before the end
      } else if (!shut) {
        ::shutdown(fd, SHUT_WR);
        shut = true;
      }
      loop.runOnce(0);
      char buffer[65536];
      const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
      if (n > 0) answer.append(buffer, std::size_t(n));
      if (n == 0) break;
      if (n < 0 && errno != EAGAIN) fault(std::string("recv: ") + std::strerror(errno));
    }
    ::close(fd);
    return answer;
  }
};

World* world;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  world = new World;
  // The world is never destroyed (libFuzzer ends with exit), so the socket file goes here.
  std::atexit([] { ::unlink(world->server->path().c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  World& w = *world;
  const std::string answer = w.ask(std::string(reinterpret_cast<const char*>(data), size));
  if (answer.empty() || answer.back() != '\n' || answer.find('\n') != answer.size() - 1) {
    fault("the answer is not one line: " + answer);
  }
  nlohmann::json j;
  try {
    j = nlohmann::json::parse(answer);
  } catch (const nlohmann::json::exception& e) {
    fault(std::string("the answer is not JSON: ") + e.what());
  }
  if (!j.is_object() || !j.contains("ok") || !j["ok"].is_boolean()) fault("no boolean ok: " + answer);
  if (!j["ok"] && !(j.contains("error") && j["error"].is_string())) fault("refused without an error: " + answer);
  w.loop.runUntilIdle();
  // An accepted apply changed the configuration on purpose; anything else must not have.
  if (j["ok"] && j.contains("writes")) w.daemon->configIs(w.base);
  const auto writes = Runner::apply(w.base, w.daemon->manager());
  if (!writes.empty()) fault("the configuration moved without an accepted apply: " + writes.front());
  w.loop.runUntilIdle();
  return 0;
}
