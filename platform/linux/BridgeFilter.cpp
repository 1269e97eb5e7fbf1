#include "platform/linux/BridgeFilter.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "platform/cfm/L2.h"

extern char** environ;

namespace LinuxNet {

namespace {

std::string ltmGroup(std::uint8_t level) { return Cfm::groupAddr(Cfm::GroupClass::ltm, level).stringValue(); }

template <class Set, class Show>
std::string nftSet(const Set& items, Show&& show) {
  std::string out = "{ ";
  for (auto it = items.begin(); it != items.end(); ++it) out += (it == items.begin() ? "" : ", ") + show(*it);
  return out + " }";
}

}  // namespace

BridgeFilter::BridgeFilter(const std::string& bridge, std::string nft) : nft_(std::move(nft)) {
  table_ = "cfmagentd_";
  for (char c : bridge) table_ += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
}

BridgeFilter::~BridgeFilter() {
  try {
    rulesDel();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "cfmagentd: %s\n", e.what());
  }
}

std::string BridgeFilter::script(const std::set<std::uint8_t>& levels, const std::set<std::string>& ports) const {
  // Declaring the table first makes the delete succeed whether or not one was there.
  std::string s = "table bridge " + table_ + "\ndelete table bridge " + table_ + "\n";
  s += "table bridge " + table_ + " {\n  chain forward {\n    type filter hook forward priority 0; policy accept;\n";
  if (!levels.empty() && !ports.empty()) {
    s += "    iifname " + nftSet(ports, [](const std::string& p) { return "\"" + p + "\""; }) + " ether daddr " +
         nftSet(levels, ltmGroup) + " drop\n";
  }
  return s + "  }\n}\n";
}

void BridgeFilter::rulesIs(const std::set<std::uint8_t>& levels, const std::set<std::string>& ports) {
  if (installed_ && levels == levels_ && ports == ports_) return;
  runNft(nft_, script(levels, ports));
  installed_ = true;
  levels_ = levels;
  ports_ = ports;
}

void BridgeFilter::rulesDel() {
  if (!installed_) return;
  installed_ = false;
  runNft(nft_, "delete table bridge " + table_ + "\n");
}

void runNft(const std::string& program, const std::string& script) {
  int in[2], out[2];
  if (::pipe2(in, O_CLOEXEC) < 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  if (::pipe2(out, O_CLOEXEC) < 0) {
    ::close(in[0]);
    ::close(in[1]);
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out[1], 1);
  posix_spawn_file_actions_adddup2(&actions, out[1], 2);
  std::vector<char*> argv = {const_cast<char*>(program.c_str()), const_cast<char*>("-f"), const_cast<char*>("-"),
                             nullptr};
  pid_t pid = -1;
  const int err = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in[0]);
  ::close(out[1]);
  if (err != 0) {
    ::close(in[1]);
    ::close(out[0]);
    throw std::runtime_error("cannot run " + program + ": " + std::strerror(err) +
                             " (the nftables package installs it)");
  }
  // The script is small, far below a pipe's capacity: written whole before reading.
  for (std::size_t done = 0; done < script.size();) {
    const ssize_t n = ::write(in[1], script.data() + done, script.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += std::size_t(n);
  }
  ::close(in[1]);
  std::string said;
  char buffer[4096];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) != 0;) {
    if (n < 0) {
      if (errno == EINTR) continue;
      break;
    }
    said.append(buffer, std::size_t(n));
  }
  ::close(out[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    while (!said.empty() && said.back() == '\n') said.pop_back();
    throw std::runtime_error(program + " failed: " + said);
  }
}

}  // namespace LinuxNet
