// cfmctl: talks to a running cfmagentd over its control socket. Usage: cfmctl --help.

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "apps/cfmagentd/ControlServer.h"
#include "apps/runner/StateJson.h"

namespace {

constexpr const char* usage = R"(usage: cfmctl [--socket PATH] COMMAND

  show [counters|ccm-database|intermediate-point-database|ale-config|status|sockets]
       [--json]
        the agent's state as tables (all sections when none is named), or as JSON
  clear counters [--protocol continuity-check|loopback] [--level N] [--intf NAME]...
        delete packet counters; interfaces are required to select anything narrower than
        "all counters"
  clear continuity-check-database
  clear intermediate-point-database
  clear command TEXT
        pass TEXT to the agent as the command string it is
  config apply FILE
        apply FILE as a difference from the running configuration; prints each write

  --socket PATH   the daemon's control socket (default: as cfmagentd's --control)

Exit status: 0 done, 1 the daemon refused the request (its reason on stderr),
2 bad usage, 3 no daemon reachable.
)";

enum Exit { exitOk = 0, exitRefused = 1, exitUsage = 2, exitUnreachable = 3 };

[[noreturn]] void usageError(const std::string& message) {
  std::cerr << "cfmctl: " << message << "\n(cfmctl --help for usage)\n";
  std::exit(exitUsage);
}

[[noreturn]] void unreachable(const std::string& path, const std::string& why) {
  std::cerr << "cfmctl: cannot reach cfmagentd at " << path << ": " << why << "\n";
  std::exit(exitUnreachable);
}

nlohmann::json request(const std::string& path, const nlohmann::json& req) {
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (path.size() >= sizeof addr.sun_path) usageError("socket path too long");
  std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) unreachable(path, std::strerror(errno));
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    unreachable(path, std::strerror(errno));
  }
  const std::string line = req.dump() + "\n";
  for (std::size_t done = 0; done < line.size();) {
    const ssize_t n = ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n < 0) unreachable(path, std::strerror(errno));
    done += std::size_t(n);
  }
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

int show(const std::string& socket, std::vector<std::string> args) {
  bool json = false;
  std::string section;
  for (const auto& a : args) {
    if (a == "--json") {
      json = true;
    } else if (section.empty() && a.rfind("--", 0) != 0) {
      section = a;
    } else {
      usageError("show: unexpected '" + a + "'");
    }
  }
  struct Section {
    const char* name;
    const char* key;
    std::string (*table)(const nlohmann::json&);
  };
  static const Section sections[] = {
      {"counters", "counters", Runner::showCounters},
      {"ccm-database", "ccmDatabase", Runner::showCcmDatabase},
      {"intermediate-point-database", "mipCcmDatabase", Runner::showMipCcmDatabase},
      {"ale-config", "aleConfig", Runner::showAleConfig},
      {"status", "mdStatus", Runner::showStatus},
      {"sockets", "sockets", Runner::showSockets},
  };
  const Section* chosen = nullptr;
  for (const auto& s : sections) {
    if (section == s.name) chosen = &s;
  }
  if (!section.empty() && !chosen) usageError("show: unknown section '" + section + "'");

  const auto state = ok(request(socket, {{"op", "show"}}))["state"];
  if (json) {
    std::cout << (chosen ? state.value(chosen->key, nlohmann::json::object()) : state).dump(2) << "\n";
  } else if (chosen) {
    std::cout << chosen->table(state);
  } else {
    for (const auto& s : sections) std::cout << "== " << s.name << "\n" << s.table(state) << "\n";
  }
  return exitOk;
}

// The command string of `cfmctl clear ...`.
std::string clearCommand(const std::vector<std::string>& args) {
  if (args.empty()) usageError("clear: what?");
  if (args[0] == "continuity-check-database" && args.size() == 1) return "clear continuity-check database";
  if (args[0] == "intermediate-point-database" && args.size() == 1) return "clear intermediate-point database";
  if (args[0] == "command") {
    if (args.size() != 2) usageError("clear command takes one TEXT");
    return args[1];
  }
  if (args[0] != "counters") usageError("clear: unknown '" + args[0] + "'");
  std::string protocol, level;
  std::vector<std::string> intfs;
  for (std::size_t i = 1; i < args.size(); ++i) {
    auto value = [&] {
      if (i + 1 >= args.size()) usageError(args[i] + " needs a value");
      return args[++i];
    };
    if (args[i] == "--protocol") {
      protocol = value();
      if (protocol != "continuity-check" && protocol != "loopback") {
        usageError("--protocol is continuity-check or loopback");
      }
    } else if (args[i] == "--level") {
      level = value();
      if (level.size() != 1 || level[0] < '0' || level[0] > '8') usageError("--level is 0-8");
    } else if (args[i] == "--intf") {
      intfs.push_back(value());
      if (intfs.back().find(',') != std::string::npos) usageError("an interface name has no comma");
    } else {
      usageError("clear counters: unexpected '" + args[i] + "'");
    }
  }
  std::string command = protocol + "," + level;
  for (const auto& intf : intfs) command += "," + intf;
  return command;
}

int configApply(const std::string& socket, const std::vector<std::string>& args) {
  if (args.size() != 2 || args[0] != "apply") usageError("config apply FILE");
  std::ifstream in(args[1], std::ios::binary);
  if (!in) {
    std::cerr << "cfmctl: " << args[1] << ": cannot open: " << std::strerror(errno) << "\n";
    return exitRefused;
  }
  std::stringstream text;
  text << in.rdbuf();
  const auto answer = ok(request(socket, {{"op", "apply"}, {"name", args[1]}, {"text", text.str()}}));
  const auto& writes = answer["writes"];
  std::cout << writes.size() << (writes.size() == 1 ? " change" : " changes") << "\n";
  for (const auto& w : writes) std::cout << "  " << w.get<std::string>() << "\n";
  return exitOk;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string socket = Runner::defaultControlPath();
  if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
    std::cout << usage;
    return exitOk;
  }
  if (args.size() >= 2 && args[0] == "--socket") {
    socket = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) usageError("no command");
  const std::string command = args[0];
  args.erase(args.begin());
  if (command == "show") return show(socket, args);
  if (command == "clear") {
    ok(request(socket, {{"op", "clear"}, {"command", clearCommand(args)}}));
    return exitOk;
  }
  if (command == "config") return configApply(socket, args);
  usageError("unknown command '" + command + "'");
}
