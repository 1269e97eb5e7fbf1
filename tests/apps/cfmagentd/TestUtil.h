#pragma once
// The demo configuration, counters read from a state export, and captured frames in expectations.

#include <cstdint>
#include <fstream>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "apps/cfmagentd/Pcapng.h"
#include "tests/support/PeerFrames.h"
#include "tests/support/Scratch.h"

namespace Cfmagentd {

inline void PrintTo(const PcapngFrame& f, std::ostream* os) {
  *os << "{" << f.intf << ", " << f.time << ", " << f.bytes.size() << " bytes}";
}

}  // namespace Cfmagentd

namespace CfmagentdTest {

using namespace TestSupport;

inline nlohmann::json demoConfig() { return nlohmann::json::parse(readFile(CFM_DEMO_CONFIG)); }

using Counts = std::map<std::string, std::uint64_t>;

// `frames` written as a capture at `path`; the path.
inline std::string writePcapng(const std::string& path, const std::vector<Cfmagentd::PcapngFrame>& frames) {
  Cfmagentd::PcapngWriter writer(path);
  for (const auto& f : frames) writer.write(f.intf, f.time, f.bytes);
  writer.flush();
  return path;
}

// The non-zero counts of a state export's "counters" section, keyed
// "interface/level/opcode/name": an entry that is absent and one at 0 read the same.
inline Counts counts(const nlohmann::json& counters) {
  Counts out;
  const nlohmann::json flat = counters.flatten();
  for (const auto& [path, value] : flat.items()) {
    if (value.is_number() && value != 0) out[path.substr(1)] = value.get<std::uint64_t>();
  }
  return out;
}

}  // namespace CfmagentdTest

#ifdef CFMAGENTD  // the e2e binary, which runs the built programs
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <iterator>
#include <optional>
#include <regex>
#include <thread>
#include <vector>

#include "tests/support/Netns.h"

namespace CfmagentdTest {

using Args = std::vector<std::string>;

const std::string switchMac = "02:00:00:00:00:01", hostAMac = "02:00:00:00:00:0a", hostBMac = "02:00:00:00:00:0b";

// How often `pattern` matches in `text`.
inline long occurrences(const std::string& text, const std::string& pattern) {
  const std::regex re(pattern);
  return std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator());
}

// Host A - switch - host B in network namespaces; cfmagentd runs in the switch's.
class DaemonE2e : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
    hostA_.emplace(), switch_.emplace(), hostB_.emplace();
  }
  void TearDown() override {
    // Processes before the links and namespaces they use.
    if (daemon_ && HasFailure()) {
      daemon_->signal(SIGTERM);
      daemon_->wait();
      std::cerr << "cfmagentd said:\n" << daemon_->output();
    }
    daemon_.reset();
    linkA_.reset();
    linkB_.reset();
  }
  // cfmagentd with `options`, run through `as` (setpriv and its options) when given.
  void startDaemon(const Args& options, Args as = {}) {
    as.push_back(CFMAGENTD);
    as.insert(as.end(), options.begin(), options.end());
    as.insert(as.end(), {"--control", socket()});
    daemon_.emplace(switch_->exec(as));
    ASSERT_TRUE(daemon_->waitFor("running;", 10)) << daemon_->output();
  }
  std::string socket() const { return dir_ / "control.sock"; }
  // A field of the running daemon's /proc status ("VmRSS" gives "9008 kB"); "?" when absent.
  std::string daemonStatus(const std::string& field) const {
    std::ifstream in("/proc/" + std::to_string(daemon_->pid()) + "/status");
    for (std::string line; std::getline(in, line);) {
      if (line.rfind(field + ":\t", 0) == 0) return line.substr(line.find_first_not_of(" \t", field.size() + 1));
    }
    return "?";
  }
  E2e::CommandResult cfmctl(Args args) const {
    args.insert(args.begin(), {CFMCTL, "--socket", socket()});
    return E2e::runCommand(args);
  }
  E2e::CommandResult cfmtool(const E2e::Netns& ns, Args args) const {
    args.insert(args.begin(), CFMTOOL);
    return E2e::runCommand(ns.exec(args));
  }
  // CCMs of MEP 200 in demo-md/demo-ma, at level 3 unless `extra` says otherwise.
  void sendCcms(const E2e::Netns& ns, const std::string& device, const Args& extra) const {
    Args args = {"ccm", "--intf", device, "--level", "3", "--md-name", "demo-md", "--ma-name", "demo-ma", "--mep-id", "200"};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto r = cfmtool(ns, args);
    ASSERT_EQ(r.status, 0) << r.output;
  }
  // Two LBMs to the switch at level 3; "answered" when both were.
  std::string pingAnswered(const E2e::Netns& ns, const std::string& device, Args extra = {}) const {
    extra.insert(extra.begin(), {"ping", "--intf", device, "--dst", switchMac, "--level", "3", "--count", "2",
                                 "--interval", "0.01", "--timeout", "2"});
    const auto r = cfmtool(ns, extra);
    return r.status == 0 && r.output.find("2 transmitted, 2 received, 0% loss") != std::string::npos ? "answered"
                                                                                                      : r.output;
  }
  // Host A traces host B while host B listens for `frames` frames, `meanwhile` run after the
  // trace; what host B heard. The switch is the one relay between them.
  std::string traceHostB(int frames, const std::function<void()>& meanwhile = [] {}) const {
    E2e::Background listen(
        hostB_->exec({CFMTOOL, "listen", "--intf", "host-b", "--count", std::to_string(frames), "--timeout", "10"}));
    EXPECT_TRUE(listen.waitFor("CFM LISTEN on host-b\n", 10)) << listen.output();
    const auto trace = cfmtool(*hostA_, {"trace", "--intf", "host-a", "--target", hostBMac, "--level", "3", "--ttl",
                                         "8", "--timeout", "2"});
    EXPECT_EQ(trace.status, 0) << trace.output;
    EXPECT_TRUE(std::regex_search(trace.output, std::regex("\n  7  " + switchMac + "  RlyFDB .* FwdYes\n1 reply\n")))
        << trace.output;
    meanwhile();
    EXPECT_EQ(listen.wait(), 0) << listen.output();
    return listen.output();
  }
  // The LTM the switch relays from host A's trace, as cfmtool listen prints it.
  const std::string relayedLtm = switchMac + " > 01:80:c2:00:00:3b, level 3 LTM transaction [0-9]+ ttl 7 original "
                                 "[0-9a-f:]{17} target " + hostBMac + "\n";

  // The state export, an empty object when the daemon does not answer.
  nlohmann::json state() const {
    const auto j = nlohmann::json::parse(cfmctl({"show", "--json"}).output, nullptr, false);
    return j.is_object() ? j : nlohmann::json::object();
  }
  Counts liveCounts() const { return counts(state().value("counters", nlohmann::json::object())); }
  // The state export once `holds` is true of it; a failure naming `what` after ten seconds.
  nlohmann::json until(const std::string& what, const std::function<bool(const nlohmann::json&)>& holds) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    nlohmann::json now;
    while (!holds(now = state())) {
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << what << " never happened; the state:\n" << now.dump(2);
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return now;
  }
  void countsAre(const Counts& expected) const {
    until("counters " + ::testing::PrintToString(expected),
          [&](const nlohmann::json& s) { return counts(s.value("counters", nlohmann::json::object())) == expected; });
  }

  ScratchDir dir_;
  std::optional<E2e::Netns> hostA_, switch_, hostB_;
  std::optional<E2e::VethLink> linkA_, linkB_;
  std::optional<E2e::Background> daemon_;
};

}  // namespace CfmagentdTest
#endif
