// cfmctl: talks to a running cfmagentd over its control socket. Usage: cfmctl --help.

#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "apps/cli/CommandLine.h"
#include "apps/control/ControlSocket.h"
#include "apps/runner/Events.h"
#include "apps/runner/StateJson.h"
#include "platform/types/CfmTypes.h"

namespace {

enum Exit { exitOk = 0, exitRefused = 1, exitUsage = 2, exitUnreachable = 3 };

[[noreturn]] void usageError(const std::string& command, const std::string& message) {
  std::cerr << command << ": " << message << "\n(" << command << " --help for usage)\n";
  std::exit(exitUsage);
}

[[noreturn]] void unreachable(const std::string& path, const std::string& why) {
  std::cerr << "cfmctl: cannot reach cfmagentd at " << path << ": " << why << "\n";
  std::exit(exitUnreachable);
}

// A connection to the daemon with `req` sent on it.
int connectAndSend(const std::string& path, const nlohmann::json& req) {
  const auto addr = Control::address(path);
  if (!addr) usageError("cfmctl", "--socket: '" + path + "' is too long");
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) unreachable(path, std::strerror(errno));
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&*addr), sizeof *addr) < 0) {
    unreachable(path, std::strerror(errno));
  }
  const std::string line = Control::requestLine(req);
  for (std::size_t done = 0; done < line.size();) {
    const ssize_t n = ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n < 0) unreachable(path, std::strerror(errno));
    done += std::size_t(n);
  }
  return fd;
}

nlohmann::json request(const std::string& path, const nlohmann::json& req) {
  const int fd = connectAndSend(path, req);
  ::shutdown(fd, SHUT_WR);
  std::string answer;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    answer.append(buffer, std::size_t(n));
  }
  ::close(fd);
  try {
    return nlohmann::json::parse(answer);
  } catch (const nlohmann::json::exception&) {
    unreachable(path, "no answer");
  }
}

// The answer when it is ok; otherwise its reason on stderr and exit 1.
nlohmann::json ok(const nlohmann::json& answer) {
  if (answer.value("ok", false)) return answer;
  std::cerr << "cfmctl: " << answer.value("error", std::string("request refused")) << "\n";
  std::exit(exitRefused);
}

struct Section {
  const char* name;
  // Its key in the state export.
  const char* key;
  std::string (*table)(const nlohmann::json&);
};
const Section sections[] = {
    {"counters", "counters", Runner::showCounters},
    {"ccm-database", "ccmDatabase", Runner::showCcmDatabase},
    {"intermediate-point-database", "mipCcmDatabase", Runner::showMipCcmDatabase},
    {"ale-config", "aleConfig", Runner::showAleConfig},
    {"status", "mdStatus", Runner::showStatus},
    {"meps", "aleMeps", Runner::showMeps},
    {"remote-meps", "aleMeps", Runner::showRemoteMeps},
    {"pm", "pm", Runner::showPm},
    {"sockets", "sockets", Runner::showSockets},
    {"bridging", "bridging", Runner::showBridging},
};

// `section` empty: all of them.
int showState(const std::string& socket, const std::string& section, bool json) {
  const Section* chosen = nullptr;
  for (const auto& s : sections) {
    if (section == s.name) chosen = &s;
  }
  // One section asks for that alone (and the databases' fill, which their tables head).
  nlohmann::json show = {{"op", "show"}};
  if (chosen) show["sections"] = {chosen->key, "databaseFill"};
  const auto state = ok(request(socket, show))["state"];
  if (json) {
    std::cout << (chosen ? state.value(chosen->key, nlohmann::json::object()) : state).dump(2) << "\n";
  } else if (chosen) {
    std::cout << chosen->table(state);
  } else {
    for (const auto& s : sections) std::cout << "== " << s.name << "\n" << s.table(state) << "\n";
  }
  return exitOk;
}

// What the agent can filter sums by, each as its comma-separated list.
struct SumFilter {
  std::vector<std::string> intf, level, opcode, counterClass, id;
};

std::string joined(const std::vector<std::string>& items) {
  std::string out;
  for (const auto& item : items) out += (out.empty() ? "" : ",") + item;
  return out;
}

// The agent's own sums of the counters `filter` selects, by class or by counter.
int showCounterSums(const std::string& socket, bool byClass, const SumFilter& filter, bool json) {
  const nlohmann::json fields{{"by", byClass ? "class" : "id"},     {"intf", joined(filter.intf)},
                              {"level", joined(filter.level)},      {"opcode", joined(filter.opcode)},
                              {"class", joined(filter.counterClass)}, {"id", joined(filter.id)}};
  std::istringstream answer(
      ok(request(socket, {{"op", "query"}, {"topic", "counter-sums"}, {"fields", fields}}))["answer"].get<std::string>());
  const std::string key = byClass ? "class" : "counter";
  nlohmann::json sums = nlohmann::json::array();
  for (std::string name, sum; answer >> name >> sum;) sums.push_back({{key, name}, {"sum", std::stoull(sum)}});
  std::cout << (json ? sums.dump(2) + "\n" : Runner::showCounterSums(sums, key));
  return exitOk;
}

int configApply(const std::string& socket, const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) {
    std::cerr << "cfmctl: " << file << ": cannot open: " << std::strerror(errno) << "\n";
    return exitRefused;
  }
  std::stringstream text;
  text << in.rdbuf();
  const auto answer = ok(request(socket, {{"op", "apply"}, {"name", file}, {"text", text.str()}}));
  const auto& writes = answer["writes"];
  std::cout << writes.size() << (writes.size() == 1 ? " change" : " changes") << "\n";
  for (const auto& w : writes) std::cout << "  " << w.get<std::string>() << "\n";
  return exitOk;
}

// The agent's command string for `cfmctl clear counters`: "<protocol>,<level>[,<intf>...]",
// an empty field selecting everything.
std::string clearCountersCommand(const std::string& protocol, std::optional<unsigned> level,
                                 const std::vector<std::string>& intfs) {
  std::string command = protocol + "," + (level ? std::to_string(*level) : "");
  for (const auto& intf : intfs) command += "," + intf;
  return command;
}

// One line of a monitor as printed: as received with --json, else as text.
std::string monitorLine(const std::string& line, bool json) {
  if (json) return line;
  const auto message = nlohmann::json::parse(line, nullptr, false);
  if (message.is_object() && message.contains("missed")) {
    const auto& missed = message["missed"];
    return "(missed " + missed.dump() + (missed == 1 ? " event)" : " events)");
  }
  return Runner::eventText(message);
}

// Prints the daemon's events as they come until SIGINT or SIGTERM (done) or until the
// daemon closes the connection (gone: no daemon to monitor any more).
int monitor(const std::string& socket, const std::optional<std::string>& mep, bool json) {
  // Taken from a descriptor beside the socket's, so that a signal between two reads still
  // ends the wait, and a line being printed is printed whole.
  sigset_t stop;
  ::sigemptyset(&stop);
  ::sigaddset(&stop, SIGINT);
  ::sigaddset(&stop, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &stop, nullptr);
  const int signals = ::signalfd(-1, &stop, SFD_CLOEXEC);
  if (signals < 0) {
    std::cerr << "cfmctl: signalfd: " << std::strerror(errno) << "\n";
    return exitRefused;
  }
  nlohmann::json req = {{"op", "monitor"}};
  if (mep) req["mep"] = *mep;
  const int fd = connectAndSend(socket, req);
  bool answered = false;
  std::string in;
  char buffer[65536];
  for (;;) {
    pollfd ready[] = {{fd, POLLIN, 0}, {signals, POLLIN, 0}};
    if (::poll(ready, 2, -1) < 0) {
      if (errno == EINTR) continue;
      unreachable(socket, std::strerror(errno));
    }
    if (ready[1].revents) return exitOk;
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    in.append(buffer, std::size_t(n));
    std::size_t begin = 0;
    for (std::size_t end; (end = in.find(Control::messageEnd, begin)) != std::string::npos; begin = end + 1) {
      const std::string line = in.substr(begin, end - begin);
      if (std::exchange(answered, true)) {
        // Flushed line by line: whoever reads a pipe from us sees each event as it comes.
        std::cout << monitorLine(line, json) << std::endl;
        continue;
      }
      const auto answer = nlohmann::json::parse(line, nullptr, false);
      if (answer.is_discarded()) unreachable(socket, "no answer");
      ok(answer);
    }
    in.erase(0, begin);
  }
  if (!answered) unreachable(socket, "no answer");
  std::cerr << "cfmctl: cfmagentd closed the monitor at " << socket << "\n";
  return exitUnreachable;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app("Talks to a running cfmagentd over its control socket.", "cfmctl");
  app.footer(
      "Exit status: 0 done, 1 the daemon refused the request (its reason on stderr),\n"
      "2 bad usage, 3 no daemon reachable (for monitor, also: none any more).");
  app.require_subcommand(1);
  app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
  std::string socket = Control::defaultPath();
  app.add_option("--socket", socket,
                 "the daemon's control socket (default: " + socket + ", as cfmagentd's --control)")
      ->type_name("PATH");

  auto* show = app.add_subcommand(
      "show", "the agent's state as tables (all sections when none is named), or as JSON");
  std::string section;
  std::vector<std::string> sectionNames;
  for (const auto& s : sections) sectionNames.push_back(s.name);
  show->add_option("SECTION", section, "one section")->check(CLI::IsMember(sectionNames));
  bool json = false;
  show->add_flag("--json", json, "the state export (docs/state.md) instead of tables");
  bool byClass = false, byId = false;
  auto* byClassFlag = show->add_flag("--by-class", byClass, "counters: the agent's sums per class");
  auto* byIdFlag = show->add_flag("--by-id", byId, "counters: the agent's sums per counter");
  byClassFlag->excludes(byIdFlag);
  SumFilter sumFilter;
  for (auto [name, into, type, what] :
       {std::tuple{"--intf", &sumFilter.intf, "NAME", "only this interface"},
        {"--level", &sumFilter.level, "N", "only this MD level, 0-7, or 8 for frames without one"},
        {"--opcode", &sumFilter.opcode, "N", "only this opcode (1 CCM, 2 LBR, 3 LBM, 4 LTR, 5 LTM; 0 before one was known)"},
        {"--class", &sumFilter.counterClass, "CLASS", "only this class (in, inError, out, outError, debug)"},
        {"--id", &sumFilter.id, "COUNTER", "only this counter (docs/counters.md)"}}) {
    show->add_option(name, *into, std::string("with --by-class or --by-id: ") + what + "; may be repeated")
        ->type_name(type)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  }

  auto* clear = app.add_subcommand("clear", "the agent's clear commands");
  clear->require_subcommand(1);
  auto* counters = clear->add_subcommand("counters", "delete packet counters");
  counters->footer(
      "Without options, every counter. Interfaces are required to select anything narrower\n"
      "than all counters.");
  std::string protocol;
  counters->add_option("--protocol", protocol, "only this protocol's counters")
      ->check(CLI::IsMember({"continuity-check", "loopback"}));
  std::optional<unsigned> level;
  counters
      ->add_option("--level", level,
                   "only this MD level's counters, 0-7, or 8 for those of frames without one")
      ->type_name("N")
      ->check(CommandLine::integerIn(0, Cfm::MdLevel::invalid, "an MD level"));
  std::vector<std::string> intfs;
  counters->add_option("--intf", intfs, "only this interface's counters; may be repeated")
      ->type_name("NAME")
      ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
      ->check(CLI::Validator(
          [](std::string& name) -> std::string {
            // The command string separates its fields with commas.
            if (name.find(',') == std::string::npos) return {};
            return "'" + name + "' is not an interface name (it has a comma)";
          },
          ""));
  auto* ccmDatabase =
      clear->add_subcommand("continuity-check-database", "empty the CCM database");
  auto* mipDatabase =
      clear->add_subcommand("intermediate-point-database", "empty the MIP CCM database");
  auto* command =
      clear->add_subcommand("command", "pass TEXT to the agent as the command string it is");
  std::string commandText;
  command->add_option("TEXT", commandText, "the command string")->required();

  auto* config = app.add_subcommand("config", "the running configuration");
  config->require_subcommand(1);
  auto* apply = config->add_subcommand(
      "apply", "apply FILE as a difference from the running configuration; prints each write");
  std::string file;
  apply->add_option("FILE", file, "a configuration (docs/configuration.md)")->required();

  auto* explain = app.add_subcommand(
      "explain", "ask the agent what it would do with a frame; nothing is sent or counted");
  explain->require_subcommand(1);
  auto* linktrace = explain->add_subcommand(
      "linktrace", "the lookups, egress port and relay action for an LTM, or why no reply");
  linktrace->footer(
      "Prints each lookup of the agent's linktrace relay in its order (configured hosts,\n"
      "learned hosts, MIP CCM database) with what it found in the running agent, then the\n"
      "egress port and relay action, or why the agent would not answer.");
  std::string ltIntf, ltTarget;
  unsigned ltVlan = 0;
  bool fdbOnly = false;
  linktrace->add_option("--intf", ltIntf, "the interface the LTM comes in on")->type_name("NAME")->required();
  linktrace->add_option("--vlan", ltVlan, "the LTM's VLAN")
      ->type_name("V")
      ->required()
      ->check(CommandLine::integerIn(1, 4094, "a VLAN"));
  linktrace->add_option("--target", ltTarget, "the LTM's target MAC address")->type_name("MAC")->required();
  linktrace->add_flag("--fdb-only", fdbOnly, "the LTM's useFdbOnly flag set");

  auto* monitorCommand = app.add_subcommand(
      "monitor", "print the software ALE layer's events as they happen, one a line, until interrupted");
  monitorCommand->footer(
      "Alarms, defects, remote MEPs failed or ok, MEPs created or removed (none under\n"
      "cfmagentd --ale none). Each line is flushed as it is printed. A client that does not keep up\n"
      "loses events: \"(missed N events)\" says how many. Ends with exit status 0 on SIGINT or\n"
      "SIGTERM, and 3 when the daemon closes the connection.");
  std::optional<std::string> monitorMep;
  monitorCommand->add_option("--mep", monitorMep, "only this local MEP's events, e.g. 3/demo-ma/100")
      ->type_name("LEVEL/MA/ID");
  bool monitorJson = false;
  monitorCommand->add_flag("--json", monitorJson, "each event as the daemon sends it, one JSON object a line");

  const std::vector<std::string_view> args(argv + 1, argv + argc);
  try {
    if (auto help = CommandLine::parse(app, args)) {
      std::cout << *help;
      return exitOk;
    }
  } catch (const CommandLine::UsageError& e) {
    usageError(e.command(), e.message());
  }

  if (show->parsed()) {
    const bool filtered = !sumFilter.intf.empty() || !sumFilter.level.empty() || !sumFilter.opcode.empty() ||
                          !sumFilter.counterClass.empty() || !sumFilter.id.empty();
    if ((byClass || byId) && section != "counters") usageError("cfmctl show", "--by-class and --by-id go with the counters section");
    if (filtered && !byClass && !byId) usageError("cfmctl show", "filters go with --by-class or --by-id");
    if (byClass || byId) return showCounterSums(socket, byClass, sumFilter, json);
    return showState(socket, section, json);
  }
  if (config->parsed()) return configApply(socket, file);
  if (monitorCommand->parsed()) return monitor(socket, monitorMep, monitorJson);
  if (explain->parsed()) {
    const nlohmann::json fields{{"intf", ltIntf},
                                {"vlan", std::to_string(ltVlan)},
                                {"target", ltTarget},
                                {"fdbOnly", fdbOnly ? "true" : "false"}};
    std::cout << ok(request(socket, {{"op", "query"}, {"topic", "explain-linktrace"}, {"fields", fields}}))["answer"]
                     .get<std::string>();
    return exitOk;
  }
  std::string clearCommand = commandText;
  if (counters->parsed()) clearCommand = clearCountersCommand(protocol, level, intfs);
  if (ccmDatabase->parsed()) clearCommand = "clear continuity-check database";
  if (mipDatabase->parsed()) clearCommand = "clear intermediate-point database";
  ok(request(socket, {{"op", "clear"}, {"command", clearCommand}}));
  return exitOk;
}
