// cfmagentd: runs the CFM agent on this host's interfaces, or replays a capture through it.
// Usage: cfmagentd --help.

#include <sched.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "apps/cfmagentd/BridgedConfig.h"
#include "apps/cfmagentd/ControlServer.h"
#include "apps/cfmagentd/Daemon.h"
#include "apps/cfmagentd/EventLog.h"
#include "apps/cfmagentd/MetricsServer.h"
#include "apps/cfmagentd/Replay.h"
#include "apps/cfmagentd/Supervision.h"
#include "apps/cli/CommandLine.h"
#include "apps/control/ControlSocket.h"
#include "platform/intf/AfPacketPam.h"
#include "platform/kiln/Trace.h"
#include "platform/linux/BridgeFilter.h"
#include "platform/linux/LinkWatcher.h"
#include "platform/linux/LinuxBridge.h"

namespace Cfmagentd {
extern const char* const demoConfigText;
}

namespace {

struct Options {
  std::optional<std::string> config;
  std::optional<std::string> bridge;
  std::string control;
  std::string agentLibrary = CFM_AGENT_LIBRARY_DEFAULT;
  std::optional<std::string> trace;
  std::optional<std::string> replay;
  std::optional<std::string> capture;
  std::optional<std::string> stateOut;
  std::optional<std::string> metrics;
  std::optional<int> realtime;
  bool checkConfig = false;
  // The ALE layer to run live: "software", or "none" where something else on the host is
  // one and the file's aleStatus stands for it. Unset: software live, none in a replay.
  std::optional<std::string> ale;
  bool softwareAle = false;
};

// Exits with the help (0) or a refusal (2) when the line is not one to run.
Options parseOptions(int argc, char** argv) {
  Options o;
  CLI::App app(
      "Runs the CFM agent on the kernel devices that the configuration maps interfaces to\n"
      "(AF_PACKET sockets; needs CAP_NET_RAW), until SIGINT or SIGTERM; or replays a capture\n"
      "through it; or only checks a configuration. Without --config it uses the built-in demo\n"
      "configuration.",
      "cfmagentd");
  app.footer("Exit status: 0 success, 1 failure while running, 2 bad usage or configuration.");
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  app.add_option("--config", o.config, "configuration (docs/configuration.md)")->type_name("FILE");
  app.add_option("--bridge", o.bridge,
                 "take the bridging (bridge MAC, ports as interfaces, VLANs, hosts) from the\n"
                 "Linux bridge BRIDGE, followed live, and be its MIP (docs/linux-bridge.md)")
      ->type_name("BRIDGE");
  app.add_option("--control", o.control,
                 "control socket for cfmctl (default: $CFMAGENTD_SOCKET, else\n"
                 "/run/cfmagentd.sock as root, else $XDG_RUNTIME_DIR/cfmagentd.sock)")
      ->type_name("PATH");
  app.add_option("--agent-library", o.agentLibrary,
                 "the agent library (default: the one built with this program)")
      ->type_name("PATH")
      ->envname("CFM_AGENT_LIBRARY");
  app.add_option("--trace", o.trace, "trace handles to switch on, as KILN_TRACE: 'CfmPam/5;Cfm*/1'")
      ->type_name("SETTING");
  auto* replay = app.add_option("--replay", o.replay,
                                "deliver the frames of IN (pcapng) on the interfaces that their\n"
                                "interface blocks name, over the in-memory wire, then stop")
                     ->type_name("IN");
  auto* capture =
      app.add_option("--capture", o.capture, "write every frame the agent sends to OUT (pcapng)")
          ->type_name("OUT");
  auto* stateOut =
      app.add_option("--state-out", o.stateOut, "write the agent's state (docs/state.md) to FILE")
          ->type_name("FILE");
  replay->needs(capture)->needs(stateOut);
  capture->needs(replay);
  stateOut->needs(replay);
  app.add_flag("--check-config", o.checkConfig, "validate the configuration and exit")
      ->excludes(replay);
  app.add_option("--metrics", o.metrics,
                 "serve the agent's figures to Prometheus at http://ADDR:PORT/metrics\n"
                 "(docs/fleet.md); IPv4, or PORT alone for every address. Off unless given")
      ->type_name("ADDR:PORT")
      ->excludes(replay);
  app.add_option("--realtime", o.realtime,
                 "run the event loop at SCHED_FIFO priority PRIORITY, its memory kept in RAM,\n"
                 "awake for the last 0.2 ms before each deadline: CCMs at 3.3 ms keep their\n"
                 "time while other programs share its core; a core it keeps busy starves the\n"
                 "kernel's softirq thread (docs/fault-management.md).\n"
                 "Needs CAP_SYS_NICE or an RLIMIT_RTPRIO of PRIORITY")
      ->type_name("PRIORITY")
      ->check(CLI::Range(1, 99).description(""))
      ->excludes(replay);
  auto* ale = app.add_option("--ale", o.ale,
                              "the ALE layer, live: software (the default) sends and watches the local\n"
                              "MEPs' CCMs as a switch's hardware would and reports what they see (cfmctl\n"
                              "show meps, remote-meps); none leaves that to another program on the host and\n"
                              "applies the file's aleStatus, as a replay does")
                  ->type_name("software|none")
                  ->check(CLI::IsMember({"software", "none"}).description(""));
  app.add_flag("--software-ale", o.softwareAle,
               "the same as --ale software, now the default; kept for the command lines that\n"
               "give it")
      ->excludes(replay)
      ->excludes(ale);
  // A replay runs no layer: it asks for none, or says nothing.
  app.final_callback([&] {
    if (o.ale == "software" && o.replay) throw CLI::ExcludesError("--ale software", "--replay");
  });

  const std::vector<std::string_view> args(argv + 1, argv + argc);
  try {
    if (auto help = CommandLine::parse(app, args)) {
      std::cout << *help;
      std::exit(0);
    }
  } catch (const CommandLine::UsageError& e) {
    std::cerr << e.what() << "\n(cfmagentd --help for usage)\n";
    std::exit(2);
  }
  if (o.control.empty()) o.control = Control::defaultPath();
  return o;
}

// One write: the event log's thread writes to stderr too, and lines must not interleave.
void log(const std::string& line) { std::cerr << ("cfmagentd: " + line + "\n") << std::flush; }

// How long before a deadline a loop at a real-time priority wakes.
constexpr double kRealtimeWakeEarlySeconds = 200e-6;

// The calling thread, which runs the loop: the threads it starts (the metrics server's, the
// event log's) are reset to the normal policy. False, with the log saying why, when the kernel refuses it.
bool realtimeIs(int priority) {
  sched_param param{};
  param.sched_priority = priority;
  if (::sched_setscheduler(0, SCHED_FIFO | SCHED_RESET_ON_FORK, &param) < 0) {
    log("--realtime " + std::to_string(priority) + ": " + std::strerror(errno) +
        (errno == EPERM ? " (needs CAP_SYS_NICE, or an RLIMIT_RTPRIO of " + std::to_string(priority) + ")" : ""));
    return false;
  }
  // Pages stay once touched, so that no later fault waits on the disk; locked only as they
  // are touched, so that reserved stacks and arenas cost nothing.
  if (::mlockall(MCL_CURRENT | MCL_FUTURE | MCL_ONFAULT) < 0) {
    log(std::string("--realtime: memory not locked: ") + std::strerror(errno));
  }
  return true;
}

int runReplay(const Options& o, Runner::RunnerConfig config) {
  Kiln::EventLoop& loop = Kiln::eventLoop();
  Cfmagentd::Daemon daemon(loop, std::move(config));
  daemon.everyDevicePresentIs(true);
  daemon.agentIs(o.agentLibrary);
  const auto counts = Cfmagentd::replay(daemon, loop, *o.replay, *o.capture);
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

// Each interface holds two packet sockets: a switch with a few hundred ports outgrows the
// usual soft limit of 1,024 descriptors, while the hard limit is there to be used.
void raiseDescriptorLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
  }
}

int runLive(const Options& o, Runner::RunnerConfig config) {
  if (o.realtime && !realtimeIs(*o.realtime)) return 1;
  raiseDescriptorLimit();
  Kiln::EventLoop& loop = Kiln::eventLoop();
  StopSignals signals(loop);
  Cfmagentd::Daemon daemon(loop, std::move(config), log);
  // With a bridge: its rules follow the MIP levels and the ports, after every change of
  // either. They are in place before the agent opens its first socket.
  std::optional<LinuxNet::BridgeFilter> filter;
  std::optional<LinuxNet::BridgeWatcher> bridge;
  auto filterUpdate = [&] {
    if (!filter) return;
    std::set<std::string> ports;
    for (const auto& [intf, device] : daemon.config().interfaces) ports.insert(device);
    filter->rulesIs(Cfmagentd::mipLevels(daemon.config()), ports);
  };
  if (!daemon.config().bridge.empty()) {
    const std::string name = daemon.config().bridge;
    filter.emplace(name);
    std::optional<bool> wasPresent;
    bridge.emplace(
        loop, name,
        [&, name, wasPresent](const LinuxNet::BridgeSnapshot& snapshot) mutable {
          daemon.bridgeIs(snapshot);
          if (std::exchange(wasPresent, snapshot.present) != snapshot.present) {
            log("bridge " + name + (snapshot.present ? " present: " + std::to_string(snapshot.ports.size()) + " ports"
                                                    : " not found; waiting for it"));
          }
          try {
            filterUpdate();
          } catch (const std::exception& e) {
            log(e.what());
          }
        },
        log);
    filterUpdate();  // a failure here stops the start: LTMs would be flooded
    log("nftables table bridge " + filter->table() + " installed");
  }
  std::map<std::string, bool> logged;  // link messages repeat; the log says each change once
  LinuxNet::LinkWatcher links(
      loop,
      [&](const std::string& name, int ifIndex, bool present, std::uint8_t operState, std::uint32_t mtu) {
        if (daemon.intfOf(name) && std::exchange(logged[name], present) != present) {
          log("device " + name + (present ? " present" : " gone"));
        }
        daemon.deviceIs(name, ifIndex, present, operState, mtu);
      },
      log);
  loop.runUntilIdle();  // the first device listing
  daemon.agentIs(o.agentLibrary, Interface::afPacketDeviceFactory(loop));
  // Each event of the software ALE layer is logged, and goes to the monitors once the
  // control socket is open (the MEPs created at the start have only the log).
  Cfmagentd::EventLog eventLog;
  Cfmagentd::ControlServer* monitors = nullptr;
  if (daemon.config().softwareAle) {
    daemon.softwareAleIs(loop, [&](const nlohmann::json& event) {
      eventLog.event(event);
      if (monitors) monitors->publish(event);
    });
    // Timer wake-ups come late by tens of microseconds, and by hundreds now and then; a loop
    // with a core of its own waits out the last of each deadline awake instead.
    if (o.realtime) daemon.softwareAle()->wakeEarlyIs(kRealtimeWakeEarlySeconds);
  }
  Cfmagentd::ControlServer control(loop, o.control, [&](const nlohmann::json& request) {
    auto answer = daemon.handleRequest(request);
    try {
      filterUpdate();
    } catch (const std::exception& e) {
      log(e.what());
    }
    return answer;
  });
  monitors = &control;
  std::optional<Cfmagentd::MetricsServer> metrics;
  if (o.metrics) {
    metrics.emplace(loop, *o.metrics, [&] { return daemon.metricsSnapshot(); }, CFM_BUILD_VERSION, log);
  }
  const std::string running = "running; " + std::to_string(daemon.config().interfaces.size()) +
                              " interfaces mapped; control socket " + control.path() +
                              (o.metrics ? "; metrics on " + *o.metrics : "") +
                              (o.realtime ? "; SCHED_FIFO " + std::to_string(*o.realtime) : "");
  log(running);
  // Ready means answering frames: agentIs returned once the agent's mounts completed, and
  // with them its packet sockets on the devices present; the control socket is open too.
  Cfmagentd::Supervision supervision(loop, log);
  supervision.readyIs(running);
  if (supervision.watchdogInterval().count() > 0) {
    log("watchdog: a ping every " + std::to_string(supervision.watchdogInterval().count() / 2000) + " ms");
  }
  loop.run();
  supervision.stoppingIs();
  metrics.reset();
  monitors = nullptr;
  daemon.agentDel();
  eventLog.flush();
  log("stopped");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const Options o = parseOptions(argc, argv);
  Runner::RunnerConfig config;
  try {
    if (o.trace) Kiln::traceSettingIs(*o.trace);
    if (o.bridge) {
      // Without a file, the bridge with no CFM configuration yet (cfmctl config apply
      // gives it one).
      config = o.config ? Runner::parse(*o.config, *o.bridge) : Runner::parseText("{}", "--bridge", *o.bridge);
    } else {
      config = o.config ? Runner::parse(*o.config)
                        : Runner::parseText(Cfmagentd::demoConfigText, "built-in demo configuration");
    }
  } catch (const std::exception& e) {
    std::cerr << "cfmagentd: " << e.what() << "\n";
    return 2;
  }
  if (o.checkConfig) {
    log("configuration is valid");
    return 0;
  }
  config.softwareAle = !o.replay && (o.softwareAle || o.ale.value_or("software") == "software");
  try {
    return o.replay ? runReplay(o, std::move(config)) : runLive(o, std::move(config));
  } catch (const std::exception& e) {
    std::cerr << "cfmagentd: " << e.what() << "\n";
    return 1;
  }
}
