// Any bytes as a client's request on the control socket of a daemon running the agent on
// the in-memory wire. The answer must be one line holding a JSON object with a boolean
// "ok" and, when not ok, an "error" text; whatever was asked, the daemon's configuration
// is still the one it started with (an accepted apply is undone between inputs).

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "apps/cfmagentd/ControlServer.h"
#include "apps/cfmagentd/Daemon.h"
#include "fuzz/Fault.h"
#include "fuzz/FuzzLimits.h"
#include "tests/support/ControlClient.h"

namespace {

struct World {
  Kiln::EventLoop& loop = Kiln::eventLoop();
  Runner::RunnerConfig base = Runner::parse(CFM_FUZZ_AGENT_CONFIG);
  std::optional<Cfmagentd::Daemon> daemon;
  std::optional<Cfmagentd::ControlServer> server;

  World() {
    daemon.emplace(loop, base);
    daemon->agentIs(CFM_AGENT_LIBRARY);
    daemon->everyDevicePresentIs(true);
    Cfmagentd::ControlLimits limits;
    limits.requestBytes = Fuzz::controlRequestBytes;
    server.emplace(
        loop, "/tmp/cfm-fuzz-control-" + std::to_string(::getpid()) + ".sock",
        [this](const nlohmann::json& request) { return daemon->handleRequest(request); }, limits);
    loop.runUntilIdle();
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
  const std::string answer =
      TestSupport::askControl(w.loop, w.server->path(), {std::string(reinterpret_cast<const char*>(data), size)},
                              TestSupport::Then::closeWriteAndRead, 0, 100000);
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
