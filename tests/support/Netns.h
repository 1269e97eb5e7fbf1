#pragma once
// Network namespaces and veth links for end-to-end tests, removed again by their
// destructors (a failed assertion unwinds through them too).
//
// Names carry the process id so that suites run in parallel do not collide; namespaces left
// behind by a process that no longer exists (one that crashed) are removed when the next
// test process makes its first namespace. Needs root (CAP_SYS_ADMIN, CAP_NET_ADMIN).

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/Process.h"

namespace E2e {

inline constexpr const char* kNetnsPrefix = "cfmtest-";

// Removes namespaces named by kNetnsPrefix whose process is gone.
inline void removeStaleNetns() {
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator("/run/netns", ec)) {
    const std::string name = entry.path().filename();
    if (name.rfind(kNetnsPrefix, 0) != 0) continue;
    const long pid = std::strtol(name.c_str() + std::strlen(kNetnsPrefix), nullptr, 10);
    if (pid > 0 && ::kill(pid_t(pid), 0) < 0 && errno == ESRCH) runCommand({"ip", "netns", "del", name});
  }
}

// Moves the calling thread into a namespace until destroyed. Sockets opened meanwhile stay
// in that namespace for life.
class NetnsScope {
 public:
  explicit NetnsScope(const std::string& netnsName) {
    original_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    if (original_ < 0) throw std::system_error(errno, std::generic_category(), "open own netns");
    const std::string path = "/run/netns/" + netnsName;
    const int target = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (target < 0 || ::setns(target, CLONE_NEWNET) < 0) {
      const int err = errno;
      if (target >= 0) ::close(target);
      ::close(original_);
      throw std::system_error(err, std::generic_category(), "enter " + path);
    }
    ::close(target);
  }
  ~NetnsScope() {
    // Staying in the test namespace would make every later step act on the wrong host.
    if (::setns(original_, CLONE_NEWNET) < 0) std::terminate();
    ::close(original_);
  }
  NetnsScope(const NetnsScope&) = delete;
  NetnsScope& operator=(const NetnsScope&) = delete;

 private:
  int original_ = -1;
};

// A named network namespace ("ip netns") with IPv6 off, so that new links stay as quiet as
// the kernel allows.
class Netns {
 public:
  Netns() {
    static std::atomic<unsigned> counter{0};
    static const bool cleaned = (removeStaleNetns(), true);
    (void)cleaned;
    name_ = kNetnsPrefix + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    run({"ip", "netns", "add", name_});
    try {
      NetnsScope inside(name_);
      for (const std::string conf : {"all", "default"}) {
        const std::string path = "/proc/sys/net/ipv6/conf/" + conf + "/disable_ipv6";
        if (!(std::ofstream(path) << "1" << std::flush)) throw std::runtime_error("cannot write " + path);
      }
    } catch (...) {
      runCommand({"ip", "netns", "del", name_});
      throw;
    }
  }
  ~Netns() { runCommand({"ip", "netns", "del", name_}); }
  Netns(const Netns&) = delete;
  Netns& operator=(const Netns&) = delete;

  const std::string& name() const { return name_; }
  // Runs `ip -n <name> <args...>`.
  void ip(std::vector<std::string> args) const {
    args.insert(args.begin(), {"ip", "-n", name_});
    run(args);
  }
  // `command` as run inside this namespace.
  std::vector<std::string> exec(std::vector<std::string> command) const {
    command.insert(command.begin(), {"ip", "netns", "exec", name_});
    return command;
  }
  // Calls `f` with the calling thread inside this namespace.
  template <typename F>
  auto inside(F&& f) const {
    NetnsScope scope(name_);
    return std::forward<F>(f)();
  }

 private:
  std::string name_;
};

// A veth pair from device `deviceA` in `a` to `deviceB` in `b`, both up. A namespace
// outliving the pair is required: declare the namespaces first.
class VethLink {
 public:
  VethLink(const Netns& a, std::string deviceA, const Netns& b, std::string deviceB)
      : a_(a), deviceA_(std::move(deviceA)), b_(b), deviceB_(std::move(deviceB)) {
    a_.ip({"link", "add", deviceA_, "type", "veth", "peer", "name", deviceB_, "netns", b_.name()});
    try {
      a_.ip({"link", "set", deviceA_, "up"});
      b_.ip({"link", "set", deviceB_, "up"});
      awaitUp(a_, deviceA_);
      awaitUp(b_, deviceB_);
    } catch (...) {
      runCommand({"ip", "-n", a_.name(), "link", "del", deviceA_});
      throw;
    }
  }
  ~VethLink() { runCommand({"ip", "-n", a_.name(), "link", "del", deviceA_}); }
  VethLink(const VethLink&) = delete;
  VethLink& operator=(const VethLink&) = delete;

  // The kernel starts a device's transmit queue when it notices the carrier, a moment after
  // "up"; until then whatever is sent is dropped. Both ends say UP once it has.
  static void awaitUp(const Netns& ns, const std::string& device) { awaitState(ns, device, "UP"); }
  // The kernel's operational state for `device` is `state` ("UP", "DORMANT"), or with
  // `is` false, no longer is: the kernel works it out a moment after the carrier changes.
  static void awaitState(const Netns& ns, const std::string& device, const std::string& state, bool is = true) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while ((runCommand({"ip", "-n", ns.name(), "-o", "link", "show", "dev", device}).output.find(" state " + state + " ") ==
            std::string::npos) == is) {
      if (std::chrono::steady_clock::now() > deadline)
        throw std::runtime_error(device + (is ? " did not become " : " stayed ") + state);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
  }

  void mtuIs(unsigned mtu) const {
    a_.ip({"link", "set", deviceA_, "mtu", std::to_string(mtu)});
    b_.ip({"link", "set", deviceB_, "mtu", std::to_string(mtu)});
  }

 private:
  const Netns& a_;
  std::string deviceA_;
  const Netns& b_;
  std::string deviceB_;
};

}  // namespace E2e
