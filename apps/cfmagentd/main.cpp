// cfmagentd: runs the CFM agent on this host's interfaces, or replays a capture through it.
// Usage: cfmagentd --help.

#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "apps/cfmagentd/ControlServer.h"
#include "apps/cfmagentd/Daemon.h"
#include "apps/cfmagentd/LinkWatcher.h"
#include "apps/cfmagentd/Replay.h"
#include "platform/intf/AfPacketPam.h"
#include "platform/kiln/Trace.h"

namespace Runner {
extern const char* const demoConfigText;
}

namespace {

constexpr const char* usage = R"(usage:
  cfmagentd [--config FILE] [--control PATH] [--agent-library PATH] [--trace SETTING]
  cfmagentd [--config FILE] --replay IN.pcapng --capture OUT.pcapng --state-out STATE.json
  cfmagentd [--config FILE] --check-config

Runs the CFM agent on the kernel devices that the configuration maps interfaces to
(AF_PACKET sockets; needs CAP_NET_RAW), until SIGINT or SIGTERM. Without --config it uses
the built-in demo configuration.

  --config FILE          configuration (docs/configuration.md)
  --control PATH         control socket for cfmctl (default: $CFMAGENTD_SOCKET, else
                         /run/cfmagentd.sock as root, else $XDG_RUNTIME_DIR/cfmagentd.sock)
  --agent-library PATH   the agent library (default: $CFM_AGENT_LIBRARY, else the one built
                         with this program)
  --trace SETTING        trace handles to switch on, as KILN_TRACE: 'CfmPam/5;Cfm*/1'
  --replay IN            deliver the frames of IN (pcapng) on the interfaces that their
                         interface blocks name, over the in-memory wire, then stop
  --capture OUT          with --replay: write every frame the agent sends to OUT (pcapng)
  --state-out FILE       with --replay: write the agent's state (docs/state.md) to FILE
  --check-config         validate the configuration and exit

Exit status: 0 success, 1 failure while running, 2 bad usage or configuration.
)";

struct Options {
  std::optional<std::string> config;
  std::string control;
  std::string agentLibrary;
  std::optional<std::string> trace;
  std::optional<std::string> replay;
  std::optional<std::string> capture;
  std::optional<std::string> stateOut;
  bool checkConfig = false;
};

[[noreturn]] void usageError(const std::string& message) {
  std::cerr << "cfmagentd: " << message << "\n(cfmagentd --help for usage)\n";
  std::exit(2);
}

Options parseOptions(int argc, char** argv) {
  Options o;
  if (const char* lib = std::getenv("CFM_AGENT_LIBRARY"); lib && *lib) {
    o.agentLibrary = lib;
  } else {
    o.agentLibrary = CFM_AGENT_LIBRARY_DEFAULT;
  }
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) usageError(std::string(arg) + " needs a value");
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << usage;
      std::exit(0);
    } else if (arg == "--config") {
      o.config = value();
    } else if (arg == "--control") {
      o.control = value();
    } else if (arg == "--agent-library") {
      o.agentLibrary = value();
    } else if (arg == "--trace") {
      o.trace = value();
    } else if (arg == "--replay") {
      o.replay = value();
    } else if (arg == "--capture") {
      o.capture = value();
    } else if (arg == "--state-out") {
      o.stateOut = value();
    } else if (arg == "--check-config") {
      o.checkConfig = true;
    } else {
      usageError("unknown argument '" + std::string(arg) + "'");
    }
  }
  if (o.replay && (!o.capture || !o.stateOut)) usageError("--replay needs --capture and --state-out");
  if (!o.replay && (o.capture || o.stateOut)) usageError("--capture and --state-out go with --replay");
  if (o.control.empty()) o.control = Runner::defaultControlPath();
  return o;
}

void log(const std::string& line) { std::cerr << "cfmagentd: " << line << std::endl; }

int runReplay(const Options& o, Runner::RunnerConfig config) {
  Kiln::EventLoop& loop = Kiln::eventLoop();
  Runner::Daemon daemon(loop, std::move(config));
  daemon.everyDevicePresentIs(true);
  daemon.agentIs(o.agentLibrary);
  const auto counts = Runner::replay(daemon, loop, *o.replay, *o.capture);
  std::ofstream state(*o.stateOut, std::ios::trunc);
  state << daemon.state().dump(2) << "\n";
  state.close();
  if (!state) throw std::runtime_error(*o.stateOut + ": cannot write");
  log("replayed " + std::to_string(counts.received) + " frames, captured " +
      std::to_string(counts.sent) + " sent frames");
  return 0;
}

// SIGINT and SIGTERM as a descriptor the loop watches: the loop stops between callbacks.
class StopSignals {
 public:
  explicit StopSignals(Kiln::EventLoop& loop) : loop_(loop) {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    fd_ = signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
    if (fd_ < 0) throw std::runtime_error("signalfd failed");
    loop_.fdIs(fd_, EPOLLIN, [this](std::uint32_t) {
      signalfd_siginfo info{};
      if (::read(fd_, &info, sizeof info) == sizeof info) {
        log(std::string("stopping on ") + (info.ssi_signo == SIGINT ? "SIGINT" : "SIGTERM"));
      }
      loop_.stop();
    });
  }
  ~StopSignals() {
    loop_.fdDel(fd_);
    ::close(fd_);
  }

 private:
  Kiln::EventLoop& loop_;
  int fd_;
};

int runLive(const Options& o, Runner::RunnerConfig config) {
  Kiln::EventLoop& loop = Kiln::eventLoop();
  StopSignals signals(loop);
  Runner::Daemon daemon(loop, std::move(config));
  std::map<std::string, bool> logged;  // link messages repeat; the log says each change once
  Runner::LinkWatcher links(
      loop,
      [&](const std::string& name, int ifIndex, bool present) {
        if (daemon.intfOf(name) && std::exchange(logged[name], present) != present) {
          log("device " + name + (present ? " present" : " gone"));
        }
        daemon.deviceIs(name, ifIndex, present);
      },
      log);
  loop.runUntilIdle();  // the first device listing
  daemon.agentIs(o.agentLibrary, Interface::afPacketDeviceFactory(loop));
  Runner::ControlServer control(loop, o.control,
                                [&](const nlohmann::json& request) { return daemon.handleRequest(request); });
  log("running; " + std::to_string(daemon.config().interfaces.size()) +
      " interfaces mapped; control socket " + control.path());
  loop.run();
  daemon.agentDel();
  log("stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parseOptions(argc, argv);
  Runner::RunnerConfig config;
  try {
    if (o.trace) Kiln::traceSettingIs(*o.trace);
    config = o.config ? Runner::parse(*o.config)
                      : Runner::parseText(Runner::demoConfigText, "built-in demo configuration");
  } catch (const std::exception& e) {
    std::cerr << "cfmagentd: " << e.what() << "\n";
    return 2;
  }
  if (o.checkConfig) {
    log("configuration is valid");
    return 0;
  }
  try {
    return o.replay ? runReplay(o, std::move(config)) : runLive(o, std::move(config));
  } catch (const std::exception& e) {
    std::cerr << "cfmagentd: " << e.what() << "\n";
    return 1;
  }
}
