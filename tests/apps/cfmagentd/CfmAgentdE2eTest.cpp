// cfmagentd as an operator runs it: the demo topology (host A - switch - host B over veth
// pairs, the daemon in the switch's namespace), frames from cfmtool and hand-made ones from
// host B, cfmctl over the control socket, and a capture of the live run replayed through the
// daemon's replay mode.

#include <gtest/gtest.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <utility>

#include "apps/cfmagentd/Pcapng.h"
#include "apps/control/ControlSocket.h"
#include "platform/intf/AfPacketSocket.h"
#include "tests/apps/cfmagentd/TestUtil.h"
#include "tests/support/Sockets.h"

namespace {

using CfmagentdTest::Args;
using CfmagentdTest::Counts;
using nlohmann::json;
using namespace std::chrono_literals;

const std::string demoConfig = CFM_DEMO_CONFIG;

class CfmAgentdE2e : public CfmagentdTest::DaemonE2e {
 protected:
  void linksIs() {
    linkA_.emplace(*hostA_, "host-a", *switch_, "sw-a");
    linkB_.emplace(*hostB_, "host-b", *switch_, "sw-b");
  }
};

// The demo from the daemon's start to SIGTERM: it finds its devices as they appear; it
// counts, answers and relays what the hosts send, and a capture of what its devices received
// replays to the same counters; cfmctl shows, explains, applies and clears. Without the
// software ALE layer: the file's aleStatus is what the status follows, and the agent's
// replies are all its sockets send.
TEST_F(CfmAgentdE2e, TheDemoFromStartToSigterm) {
  startDaemon({"--config", demoConfig, "--ale", "none"});
  linksIs();
  for (const char* device : {"sw-b", "sw-a"}) {
    ASSERT_TRUE(daemon_->waitFor(std::string("device ") + device + " present", 5)) << daemon_->output();
  }
  // What the switch's devices receive, captured by the test itself on the same kind of
  // socket as the agent's: CFM frames only, none of the switch's own, tags as on the wire.
  std::vector<std::unique_ptr<Interface::AfPacketSocket>> taps;
  for (const char* device : {"sw-a", "sw-b"}) {
    taps.push_back(switch_->inside([&] { return std::make_unique<Interface::AfPacketSocket>(device); }));
  }
  sendCcms(*hostA_, "host-a", {"--vlan", "10", "--count", "3", "--interval", "0.01"});
  EXPECT_EQ(pingAnswered(*hostA_, "host-a", {"--vlan", "10"}), "answered");
  // Host B's frames, each wrong in one way the switch must count: a group address as the
  // source, level 5 where the switch has no MIP, 0x88a8 on a port that tags with 0x8100.
  {
    using namespace TestSupport;
    auto socket = hostB_->inside([] { return std::make_unique<Interface::AfPacketSocket>("host-b"); });
    for (const auto& frame : {ethernet(ccmGroup(3), mac(0x01005e000001), 10, ccm(3, 300)),
                              ethernet(ccmGroup(5), hostB, 10, ccm(5, 300)),
                              ethernet(ccmGroup(3), hostB, 10, ccm(3, 300), 0x88a8)}) {
      ASSERT_TRUE(socket->send(span(frame)));
    }
  }
  Counts counts = {
      // cfmtool: CCMs and LBMs of level 3 on VLAN 10; each LBM answered.
      {"Ethernet1/3/1/in", 3}, {"Ethernet1/3/3/in", 2}, {"Ethernet1/3/2/out", 2},
      // host B: dropped before the opcode, each once with its reason; and after it, next to its in.
      {"Ethernet2/8/0/in", 2}, {"Ethernet2/8/0/inErrorSrcMacNotUnicast", 1}, {"Ethernet2/8/0/inErrorNotCfmEtherType", 1},
      {"Ethernet2/5/1/in", 1}, {"Ethernet2/5/1/inErrorNoMpAtMdLevel", 1}};
  countsAre(counts);
  const auto liveJson = state()["counters"];

  // Every frame the agent counted was queued on the taps as it was on the agent's sockets.
  std::vector<Cfmagentd::PcapngFrame> captured;
  const std::size_t expected[] = {5, 3};  // host A: 3 CCMs, 2 LBMs; host B: its 3
  for (std::size_t i = 0; i < taps.size(); ++i) {
    const auto frames = TestSupport::receiveFrames(*taps[i], expected[i]);
    ASSERT_EQ(frames.size(), expected[i]) << taps[i]->device();
    // Only the order matters to a replay.
    for (const auto& frame : frames) captured.push_back({taps[i]->device(), 1700000000000000 + captured.size(), frame});
  }
  const std::string live = CfmagentdTest::writePcapng(dir_ / "live.pcapng", captured);
  const std::string out = dir_ / "sent.pcapng", stateOut = dir_ / "state.json";
  const auto replay = E2e::runCommand(
      {CFMAGENTD, "--config", demoConfig, "--replay", live, "--capture", out, "--state-out", stateOut});
  ASSERT_EQ(replay.status, 0) << replay.output;
  std::smatch m;
  ASSERT_TRUE(std::regex_search(replay.output, m, std::regex("replayed 8 frames, captured ([0-9]+) sent frames")))
      << replay.output;
  EXPECT_EQ(json::parse(CfmagentdTest::readFile(stateOut))["counters"], liveJson);

  // Every table; the CCMs and LBMs came in through Ethernet1's socket, the LBRs left by
  // it, nothing was shed. The agent's own sums of a selection add up what is there.
  const auto all = cfmctl({"show"});
  EXPECT_EQ(all.status, 0) << all.output;
  for (const char* section :
       {"counters", "ccm-database", "intermediate-point-database", "ale-config", "status", "sockets"}) {
    EXPECT_NE(all.output.find(std::string("== ") + section + "\n"), std::string::npos) << section;
  }
  EXPECT_TRUE(std::regex_search(all.output, std::regex("\nEthernet1 +3 +1 CCM +in +3\n"))) << all.output;
  EXPECT_TRUE(std::regex_search(all.output, std::regex("\nEthernet1 +1500 +5( +0){3} +2 +0\n"))) << all.output;
  EXPECT_EQ(cfmctl({"show", "everything"}).status, 2);
  const auto sums = cfmctl({"show", "counters", "--by-class", "--intf", "Ethernet2", "--json"});
  EXPECT_EQ(json::parse(sums.output, nullptr, false),
            json::parse(R"([{"class": "in", "sum": 3}, {"class": "inError", "sum": 3}])")) << sums.output;

  // Host B is behind Ethernet2 by the demo's learned hosts: the agent says what it will do
  // with host A's trace, does it, and host B hears the relayed LTM once.
  const auto explain = cfmctl({"explain", "linktrace", "--intf", "Et1", "--vlan", "10", "--target", CfmagentdTest::hostBMac});
  EXPECT_EQ(explain.status, 0) << explain.output;
  EXPECT_TRUE(std::regex_search(explain.output, std::regex("egress port +Ethernet2\n  relay action +RlyFDB\n")))
      << explain.output;
  EXPECT_EQ(CfmagentdTest::occurrences(traceHostB(1), relayedLtm), 1);
  counts.insert({{"Ethernet1/3/5/in", 1}, {"Ethernet1/3/4/out", 1}, {"Ethernet2/3/5/out", 1}});
  countsAre(counts);

  // A domain with a default MIP at level 5, applied twice: one line per change, then none.
  auto changedJson = CfmagentdTest::demoConfig();
  changedJson["cfm"]["domains"].push_back({{"level", 5}, {"name", "md5"}, {"defaultMip", true}});
  changedJson["aleStatus"].push_back({{"level", 5}, {"defaultMip", true}});
  const std::string changed = dir_ / "changed.json";
  CfmagentdTest::writeFile(changed, changedJson.dump(2));
  const auto first = cfmctl({"config", "apply", changed});
  ASSERT_TRUE(std::regex_search(first.output, m, std::regex("^([1-9][0-9]*) changes?\n"))) << first.output;
  EXPECT_EQ(std::count(first.output.begin(), first.output.end(), '\n'), std::stoi(m[1]) + 1) << first.output;
  EXPECT_NE(first.output.find("\n  cfm/config: "), std::string::npos) << first.output;
  EXPECT_EQ(cfmctl({"config", "apply", changed}).output, "0 changes\n");
  // The ALE configuration and the status mirror followed it, and so did the running agent:
  // a CCM at level 5 is no longer dropped.
  const auto ale = cfmctl({"show", "ale-config"}).output;
  EXPECT_NE(ale.find("\nMD level 5: name md5 (characterString), default MIP yes\n"), std::string::npos) << ale;
  const auto status = cfmctl({"show", "status"}).output;
  EXPECT_TRUE(std::regex_search(status, std::regex("\n3 +yes\n5 +yes\n"))) << status;
  sendCcms(*hostA_, "host-a", {"--level", "5", "--count", "1"});
  counts.insert({"Ethernet1/5/1/in", 1});
  countsAre(counts);

  // Each clear deletes exactly what it selects; a refused one says why and clears nothing.
  const auto held = [&](const char* section) { return !json::parse(cfmctl({"show", section, "--json"}).output).empty(); };
  ASSERT_TRUE(held("ccm-database") && held("intermediate-point-database"));
  struct Step { Args clear; std::vector<std::string> gone; std::string refusal = {}; };
  const Step steps[] = {
      {{"counters", "--level", "3"}, {}},  // narrower than all, but on no interface
      {{"counters", "--protocol", "loopback", "--level", "3", "--intf", "Ethernet1"}, {"Ethernet1/3/3/in"}},
      {{"command", "loopback,x,Ethernet1"}, {}, "stoi"},
      {{"counters", "--level", "5", "--intf", "Et2"}, {"Ethernet2/5/1/in", "Ethernet2/5/1/inErrorNoMpAtMdLevel"}},
      {{"continuity-check-database"}, {}},
      {{"intermediate-point-database"}, {}},
      {{"counters", "--intf", "Ethernet2"},
       {"Ethernet2/8/0/in", "Ethernet2/8/0/inErrorSrcMacNotUnicast", "Ethernet2/8/0/inErrorNotCfmEtherType",
        "Ethernet2/3/5/out"}},
      {{"counters"}, {"Ethernet1/3/1/in", "Ethernet1/3/2/out", "Ethernet1/3/5/in", "Ethernet1/3/4/out", "Ethernet1/5/1/in"}},
  };
  bool ccmHeld = true, mipHeld = true;
  for (const Step& step : steps) {
    Args args = step.clear;
    args.insert(args.begin(), "clear");
    const auto r = cfmctl(args);
    SCOPED_TRACE(step.clear.back());
    EXPECT_EQ(r.status, step.refusal.empty() ? 0 : 1) << r.output;
    if (!step.refusal.empty()) {
      EXPECT_EQ(r.output, "cfmctl: " + step.refusal + "\n");
    }
    for (const auto& name : step.gone) counts.erase(name);
    EXPECT_EQ(liveCounts(), counts);
    ccmHeld = ccmHeld && step.clear[0] != "continuity-check-database";
    mipHeld = mipHeld && step.clear[0] != "intermediate-point-database";
    EXPECT_EQ(held("ccm-database"), ccmHeld);
    EXPECT_EQ(held("intermediate-point-database"), mipHeld);
  }

  // SIGTERM: a clean exit that takes the private control socket with it.
  struct stat st {};
  ASSERT_EQ(::lstat(socket().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  daemon_->signal(SIGTERM);
  EXPECT_EQ(daemon_->wait(), 0) << daemon_->output();
  EXPECT_NE(daemon_->output().find("stopping on SIGTERM"), std::string::npos) << daemon_->output();
  EXPECT_NE(::access(socket().c_str(), F_OK), 0) << "control socket left behind";
  const auto after = cfmctl({"show"});
  EXPECT_EQ(after.status, 3);
  EXPECT_EQ(after.output.rfind("cfmctl: cannot reach cfmagentd at " + socket() + ": ", 0), 0u) << after.output;
}

// The service manager's end of NOTIFY_SOCKET: one notification per datagram.
class NotifySocket {
 public:
  explicit NotifySocket(const std::string& path) : path_(path) {
    path.copy(addr_.sun_path, sizeof addr_.sun_path - 1);
    if (fd_ < 0 || ::bind(fd_, address(), sizeof addr_) < 0) throw std::system_error(errno, std::generic_category(), path);
  }
  ~NotifySocket() { ::close(fd_); }
  const std::string& path() const { return path_; }
  // Queues fillers until the next sender blocks. One sender's buffer may run out before the
  // queue does: full is when a fresh sender cannot send one. A closed sender's stay queued.
  void fill() {
    for (int sent = -1; sent != 0;) {
      const int sender = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
      for (sent = 0; ::sendto(sender, filler, std::strlen(filler), 0, address(), sizeof addr_) > 0; ++sent) {
      }
      ASSERT_EQ(errno, EAGAIN) << std::strerror(errno);
      ::close(sender);
    }
  }
  // The next notification that is no filler; empty when none came within `seconds`.
  std::string next(double seconds) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    for (char buf[4096];;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, int(std::max<long>(0, left.count()))) <= 0) return "";
      const std::string got(buf, std::size_t(std::max<ssize_t>(0, ::recv(fd_, buf, sizeof buf, 0))));
      if (got != filler) return got;
    }
  }

 private:
  const sockaddr* address() const { return reinterpret_cast<const sockaddr*>(&addr_); }
  static constexpr const char* filler = "filler";
  std::string path_;
  sockaddr_un addr_{AF_UNIX, {}};
  int fd_ = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
};

// Under systemd (Type=notify, WatchdogSec=): READY=1 only once frames are answered, then
// WATCHDOG=1 from the loop at half the interval, and STOPPING=1 on SIGTERM. The test's
// socket stands in for systemd's. Kept full at first, it holds the daemon inside its
// READY=1, when its packet sockets and control socket must already be open.
TEST_F(CfmAgentdE2e, UnderSystemdItIsReadyOnlyOnceItAnswersThenPingsTheWatchdog) {
  linksIs();
  NotifySocket notify(dir_ / "notify.sock");
  ASSERT_NO_FATAL_FAILURE(notify.fill());
  const auto watchdog = 1000ms;
  startDaemon({"--config", demoConfig}, {"env", "NOTIFY_SOCKET=" + notify.path(),
                                         "WATCHDOG_USEC=" + std::to_string(watchdog.count() * 1000)});
  const std::string proc = "/proc/" + std::to_string(daemon_->pid());
  const auto blockedSending = [&] {
    long number = -1;
    return (std::ifstream(proc + "/syscall") >> number) && (number == SYS_sendmsg || number == SYS_sendto);
  };
  for (const auto deadline = std::chrono::steady_clock::now() + 10s; !blockedSending();) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "never blocked notifying\n" << daemon_->output();
    std::this_thread::sleep_for(1ms);
  }
  // Only the daemon has packet sockets in the switch's namespace: the devices they are on.
  std::set<int> opened;
  std::ifstream table(proc + "/net/packet");
  std::string sk, refs, type, protocol, rest;
  std::getline(table, rest);  // the header
  for (int ifIndex; table >> sk >> refs >> type >> protocol >> ifIndex && std::getline(table, rest);) opened.insert(ifIndex);
  const auto devices = switch_->inside([] { return std::set<int>{int(if_nametoindex("sw-a")), int(if_nametoindex("sw-b"))}; });
  EXPECT_TRUE(std::includes(opened.begin(), opened.end(), devices.begin(), devices.end()))
      << "packet sockets on " << ::testing::PrintToString(opened) << " when notifying";
  struct stat st {};
  EXPECT_TRUE(::lstat(socket().c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) << "no control socket when notifying";

  EXPECT_EQ(notify.next(5), "READY=1\nSTATUS=running; 2 interfaces mapped; control socket " + socket());
  const auto readyAt = std::chrono::steady_clock::now();
  EXPECT_EQ(pingAnswered(*hostA_, "host-a"), "answered");
  // The k-th ping no sooner than k half-intervals after READY=1 (the timer does not drift
  // with a late read), and within one more watchdog interval.
  std::vector<long> at;
  for (int k = 1; k <= 4; ++k) {
    ASSERT_EQ(notify.next(5), "WATCHDOG=1") << k;
    const auto since = std::chrono::steady_clock::now() - readyAt;
    at.push_back(long(std::chrono::duration_cast<std::chrono::milliseconds>(since).count()));
    EXPECT_GE(since, k * watchdog / 2 - 50ms) << k;
    EXPECT_LT(since, k * watchdog / 2 + watchdog) << k;
  }
  std::cout << "cfmagentd: WATCHDOG=1 at " << ::testing::PrintToString(at) << " ms after READY=1\n";

  daemon_->signal(SIGTERM);
  EXPECT_EQ(daemon_->wait(), 0) << daemon_->output();
  std::string last;
  while ((last = notify.next(1)) == "WATCHDOG=1") {
  }
  EXPECT_EQ(last, "STOPPING=1");
  EXPECT_EQ(notify.next(0), "") << "after STOPPING=1";
}

// The checks before anything starts need no privileges.
TEST(CfmAgentdCommandLine, ABadConfigurationIsRefusedWithItsMessage) {
  CfmagentdTest::ScratchDir dir;
  auto config = CfmagentdTest::demoConfig();
  config["cfm"]["domains"][0]["level"] = 9;
  const std::string bad = dir / "bad.json";
  CfmagentdTest::writeFile(bad, config.dump(2));
  for (const Args& extra : {Args{}, Args{"--check-config"},
                            Args{"--replay", dir / "in.pcapng", "--capture", dir / "out", "--state-out", dir / "s"}}) {
    Args command = {CFMAGENTD, "--config", bad, "--control", dir / "control.sock"};
    command.insert(command.end(), extra.begin(), extra.end());
    const auto r = E2e::runCommand(command);
    EXPECT_EQ(r.status, 2) << r.output;
    EXPECT_EQ(r.output, "cfmagentd: " + bad + ": cfm.domains[0].level: 9 is not an MD level (0-7)\n");
  }
  EXPECT_EQ(::access((dir / "control.sock").c_str(), F_OK), -1);
  EXPECT_EQ(::access((dir / "out").c_str(), F_OK), -1);
  const auto ok = E2e::runCommand({CFMAGENTD, "--config", demoConfig, "--check-config", "--software-ale"});
  EXPECT_EQ(ok.status, 0) << ok.output;  // the old flag for the default layer is still taken
  const auto usage = E2e::runCommand({CFMAGENTD, "--replay", dir / "in.pcapng"});
  EXPECT_EQ(usage.status, 2) << usage.output;
  // A replay runs no ALE layer: asking for one is refused.
  const auto layered = E2e::runCommand(
      {CFMAGENTD, "--ale", "software", "--replay", dir / "in.pcapng", "--capture", dir / "out", "--state-out", dir / "s"});
  EXPECT_EQ(layered.output, "cfmagentd: --ale software excludes --replay\n(cfmagentd --help for usage)\n");
}

// The daemon as packaging/cfmagentd.service runs it: an unprivileged user with CAP_NET_RAW
// and nothing else. It answers pings in each way one reaches it, and goes on answering
// them while its control socket is abused: a 100 MB line and a thousand clients that never
// finish theirs each get an error, and its memory stays bounded.
TEST_F(CfmAgentdE2e, UnprivilegedItAnswersEveryEncapsulationThroughControlSocketAbuse) {
  auto config = CfmagentdTest::demoConfig();
  // Host A's VLAN 100 is the switch's VLAN 30 on Ethernet1, paired both ways as an operator
  // would. The reply keeps the message's tag 100, which is also what the egress entry gives 30.
  config["switchports"]["Ethernet1"]["ingressTranslation"] = {{{"from", 100}, {"to", 30}}};
  config["switchports"]["Ethernet1"]["egressTranslation"] = {{{"from", 30}, {"to", 100}}};
  config["switchports"]["Ethernet2"] = {{"mode", "access"}, {"portVlan", 10}};
  config["vlans"]["30"] = json::object();
  CfmagentdTest::writeFile(dir_ / "encapsulations.json", config.dump(2));
  linksIs();
  ASSERT_EQ(::chown(dir_.path().c_str(), 65534, 65534), 0);  // nobody makes its socket here
  startDaemon({"--config", dir_ / "encapsulations.json"},
              {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "--no-new-privs",
               "--inh-caps=-all,+net_raw", "--ambient-caps=-all,+net_raw", "--bounding-set=-all,+net_raw"});
  EXPECT_EQ(daemonStatus("Uid"), "65534\t65534\t65534\t65534");
  EXPECT_EQ(daemonStatus("CapEff"), "0000000000002000");  // CAP_NET_RAW only
  EXPECT_EQ(daemonStatus("CapBnd"), "0000000000002000");
  const long rssBefore = std::stol(daemonStatus("VmRSS"));
  // A trunk's native VLAN untagged, VLAN 20 tagged, VLAN 100 translated; an access port.
  // cfmtool takes a reply only with the tag its message had.
  for (const auto& [host, device, vlan] : {std::tuple{&*hostA_, "host-a", Args{}}, {&*hostA_, "host-a", Args{"--vlan", "20"}},
                                           {&*hostA_, "host-a", Args{"--vlan", "100"}}, {&*hostB_, "host-b", Args{}}}) {
    EXPECT_EQ(pingAnswered(*host, device, vlan), "answered") << device << ::testing::PrintToString(vlan);
  }

  // Blocking clients, but all done within 20 s even if the daemon never answered.
  const auto until = std::chrono::steady_clock::now() + 20s;
  auto limit = [&](int fd, int option) {
    const auto left =
        std::max(std::chrono::duration_cast<std::chrono::microseconds>(until - std::chrono::steady_clock::now()), 1us);
    const timeval t{time_t(left.count() / 1000000), suseconds_t(left.count() % 1000000)};
    ::setsockopt(fd, SOL_SOCKET, option, &t, sizeof t);
  };
  auto client = [&] {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    limit(fd, SO_SNDTIMEO);
    const sockaddr_un addr = *Control::address(socket());
    EXPECT_EQ(::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0) << std::strerror(errno);
    return fd;
  };
  auto errorIn = [&](int fd) {  // what the daemon says before it closes `fd`
    limit(fd, SO_RCVTIMEO);
    std::string answer;
    E2e::readInto(fd, answer);
    ::close(fd);
    const auto json = nlohmann::json::parse(answer, nullptr, false);
    return json.is_object() ? json.value("error", "no error") : "not an answer: '" + answer.substr(0, 80) + "'";
  };
  std::string bigError;
  std::thread big([&, fd = client()] {  // connected first: it gets a connection of its own
    const std::string megabyte(1 << 20, 'x');
    for (int i = 0; i < 100 && ::send(fd, megabyte.data(), megabyte.size(), MSG_NOSIGNAL) > 0; ++i) {
    }
    bigError = errorIn(fd);
  });
  std::vector<int> stuck;
  for (int i = 0; i < 1000; ++i) {
    stuck.push_back(client());
    (void)!::send(stuck.back(), "{\"op\":", 6, MSG_NOSIGNAL);  // refused ones are closed already
  }
  EXPECT_EQ(pingAnswered(*hostA_, "host-a"), "answered");
  big.join();
  std::map<std::string, int> errors;
  for (const int fd : stuck) ++errors[errorIn(fd)];
  EXPECT_EQ(bigError, "request too large: more than 1048576 bytes without a newline");
  // Each one refused or cut off; more than 32 cut off only when connecting them took longer
  // than the time-out, so that cut-off ones made room.
  const int cutOff = errors["request not complete within 5000 ms"];
  EXPECT_TRUE(errors.size() == 2 && cutOff >= 31 && errors["busy: 32 control connections open"] == 1000 - cutOff)
      << ::testing::PrintToString(errors);

  EXPECT_EQ(pingAnswered(*hostA_, "host-a"), "answered");
  // cfmctl is served again, and each LBM was answered once.
  countsAre({{"Ethernet1/3/3/in", 10}, {"Ethernet1/3/2/out", 10}, {"Ethernet2/3/3/in", 2}, {"Ethernet2/3/2/out", 2}});
  const long peak = std::stol(daemonStatus("VmHWM"));
  std::cout << "cfmagentd: VmRSS " << rssBefore << " kB before the abuse, VmHWM " << peak << " kB after\n";
  EXPECT_LT(peak - rssBefore, 16 * 1024);
}

// A monitor that never reads while MEPs come and go by the thousand: frames are answered all
// along, cfmctl monitor gets every event of the MEP it asked for, and the stuck one is told
// how many it missed once it reads again.
TEST_F(CfmAgentdE2e, AStuckMonitorMissesEventsWhileFramesAreAnswered) {
  linksIs();
  startDaemon({"--config", demoConfig});
  const int stuck = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const sockaddr_un addr = *Control::address(socket());
  ASSERT_EQ(::connect(stuck, reinterpret_cast<const sockaddr*>(&addr), sizeof addr), 0);
  const timeval second{1, 0};
  ::setsockopt(stuck, SOL_SOCKET, SO_RCVTIMEO, &second, sizeof second);
  ASSERT_EQ(::send(stuck, "{\"op\":\"monitor\"}\n", 17, MSG_NOSIGNAL), 17);
  std::string seen(12, ' ');
  ASSERT_EQ(::recv(stuck, seen.data(), 12, MSG_WAITALL), 12);
  ASSERT_EQ(seen, "{\"ok\":true}\n");

  // 2,000 MEPs of an association that sends no CCMs, there and gone in turn; at last MEP 1
  // alone, sending every 10 ms and expecting a MEP that never speaks: its defect ends the
  // reader's events.
  auto config = CfmagentdTest::demoConfig();
  json meps = json::array();
  for (int id = 1; id <= 2000; ++id) meps.push_back({{"id", id}, {"interface", "Ethernet1"}});
  config["cfm"]["profiles"] = {{{"name", "quiet"}, {"ccmEnable", false}}, {{"name", "fast"}, {"ccmInterval", "10ms"}}};
  json& bulkMa = config["cfm"]["domains"][0]["associations"].emplace_back(
      json{{"name", "bulk"}, {"format", "characterString"}, {"direction", "down"}, {"primaryVlan", 20},
           {"profile", "quiet"}, {"localMeps", meps}});
  const std::string bulk = dir_ / "bulk.json", last = dir_ / "last.json";
  CfmagentdTest::writeFile(bulk, config.dump());
  bulkMa.update({{"profile", "fast"}, {"localMeps", {{{"id", 1}, {"interface", "Ethernet1"}, {"remoteMeps", {2}}}}}});
  CfmagentdTest::writeFile(last, config.dump());
  const auto apply = [&](const std::string& file) { EXPECT_EQ(cfmctl({"config", "apply", file}).status, 0); };
  E2e::Background reader({CFMCTL, "--socket", socket(), "monitor", "--mep", "3/bulk/1", "--json"});
  for (int cycle = 0, more = 4; cycle < 50 && more > 0; ++cycle) {  // until the reader is there, then three more
    apply(bulk), apply(demoConfig);
    more -= reader.waitFor("mepCreated", 0.1);
  }
  apply(last);
  EXPECT_EQ(pingAnswered(*hostA_, "host-a"), "answered");

  // The reader's: MEP 1 created and removed in turn, at least four times, then its remote MEP
  // failed and the defect.
  ASSERT_TRUE(reader.waitFor("defectRaised", 10)) << reader.output();
  std::string kinds;
  std::istringstream lines(reader.output());
  for (std::string line; std::getline(lines, line);) {
    const json event = json::parse(line, nullptr, false);
    EXPECT_EQ(event.value("mepId", ""), "1") << line;
    kinds += event.value("event", line) + " ";
  }
  EXPECT_TRUE(std::regex_match(kinds, std::regex("(mepRemoved )?(mepCreated mepRemoved ){4,}mepCreated remoteMepFailed defectRaised ")))
      << kinds;

  const auto refused = cfmctl({"monitor", "--mep", "3/bulk"});
  EXPECT_EQ(refused.output, "cfmctl: mep: '3/bulk' is not LEVEL/MA/ID (level 0-7, MEP id 1-8191)\n");
  EXPECT_EQ(refused.status, 1);

  // What the stuck one was sent: what fitted, then how many did not.
  seen.clear();
  for (char buffer[65536]; seen.find("{\"missed\":") == std::string::npos;) {
    const ssize_t n = ::recv(stuck, buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0) << "no missed count after " << seen.size() << " bytes";
    seen.append(buffer, std::size_t(n));
  }
  ::close(stuck);
  const long events = CfmagentdTest::occurrences(seen, "\"event\":");
  const long missed = std::stol(seen.substr(seen.find("{\"missed\":") + 10));
  std::cout << "the stuck monitor: " << events << " events, then missed " << missed << "\n";
  EXPECT_LE(events, 2000);
  EXPECT_GE(events + missed, 4000 * 3) << events << " events, " << missed << " missed";
}

// --realtime puts the loop's thread at SCHED_FIFO, and the threads it starts (the event
// log's) stay at the normal policy.
TEST_F(CfmAgentdE2e, RealtimeIsTheLoopsThreadAlone) {
  linksIs();
  daemon_.emplace(switch_->exec({CFMAGENTD, "--config", demoConfig, "--control", socket(), "--realtime", "10"}));
  if (!daemon_->waitFor("running;", 10)) {
    if (daemon_->output().find("--realtime 10: Operation not permitted") != std::string::npos) {
      GTEST_SKIP() << "this machine refuses real-time scheduling: " << daemon_->output();
    }
    FAIL() << daemon_->output();
  }
  EXPECT_NE(daemon_->output().find("; SCHED_FIFO 10\n"), std::string::npos) << daemon_->output();
  int threads = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/" + std::to_string(daemon_->pid()) + "/task")) {
    const pid_t tid = std::stoi(task.path().filename());
    EXPECT_EQ(::sched_getscheduler(tid) & ~SCHED_RESET_ON_FORK, tid == daemon_->pid() ? SCHED_FIFO : SCHED_OTHER) << tid;
    ++threads;
  }
  EXPECT_GE(threads, 2);
}

// Stopped for three times its remote MEP's lifetime while that MEP kept sending among frames
// of a higher level, the daemon reads what came in before it decides: the remote MEP never
// fails for CCMs that waited in the socket.
TEST_F(CfmAgentdE2e, ARemoteMepDoesNotFailForCcmsThatWaitedInTheSocket) {
  linksIs();
  auto config = CfmagentdTest::demoConfig();
  config["cfm"]["profiles"] = {{{"name", "fast"}, {"ccmInterval", "100ms"}}};
  config["cfm"]["domains"][0]["associations"].push_back(
      json{{"name", "fast"}, {"format", "characterString"}, {"direction", "down"}, {"primaryVlan", 20},
           {"profile", "fast"}, {"localMeps", {{{"id", 1}, {"interface", "Ethernet1"}, {"remoteMeps", {2}}}}}});
  CfmagentdTest::writeFile(dir_ / "fast.json", config.dump());
  startDaemon({"--config", dir_ / "fast.json"});
  const auto ccms = [&](const std::string& level, const std::string& maName, const std::string& mepId, Args more) {
    Args args{CFMTOOL, "ccm", "--intf", "host-a", "--vlan", "20", "--level", level, "--md-name", "demo-md",
              "--ma-name", maName, "--mep-id", mepId};
    args.insert(args.end(), more.begin(), more.end());
    return hostA_->exec(args);
  };
  E2e::Background mep2(ccms("3", "fast", "2", {"--interval", "0.1"}));
  const auto remote = "/aleMeps/3/fast/1/remoteMeps/2"_json_pointer;
  const json before = until("MEP 2 ok", [&](const json& s) { return s.value(remote / "rMepState", "") == "ok"; });
  const long heard = before[remote / "ccmsReceived"].get<long>();

  // A second: 10 of MEP 2's CCMs among 500 frames of level 6, far more than one read takes
  // (and fewer than the half ring that makes a read take them all).
  daemon_->signal(SIGSTOP);
  const auto burst = E2e::runCommand(ccms("6", "other", "9", {"--interval", "0.002", "--count", "500"}));
  daemon_->signal(SIGCONT);
  ASSERT_EQ(burst.status, 0) << burst.output;
  const json after = until("MEP 2's CCMs of the stop read", [&](const json& s) {
    return s.value(remote / "ccmsReceived", 0L) >= heard + 9;
  });
  EXPECT_EQ(after[remote / "flaps"], 0) << after[remote].dump();
  EXPECT_EQ(after[remote / "rMepState"], "ok");
}

// Host A measures delay and synthetic loss to the switch's MEP 100 with cfmtool: the
// software ALE layer answers at the MEP's level only, and counts what it answered. Then a
// jumbo LBM, once the kernel's MTU allows it.
TEST_F(CfmAgentdE2e, DelayAndLossAreAnsweredByTheMep) {
  linksIs();
  startDaemon({"--config", demoConfig});
  const auto run = [&](const char* command, const char* level) {
    return cfmtool(*hostA_, {command, "--level", level, "--intf", "host-a", "--dst", CfmagentdTest::switchMac,
                             "--count", "5", "--interval", "0.01", "--timeout", "2"});
  };
  const auto dmm = run("dmm", "3"), slm = run("slm", "3");
  std::cout << dmm.output << slm.output;
  EXPECT_EQ(CfmagentdTest::occurrences(dmm.output, "DMR from 02:00:00:00:00:01: seq=[0-9]+ delay=[0-9.]+ ms\n"), 5);
  EXPECT_NE(dmm.output.find("5 transmitted, 5 received, 0% loss"), std::string::npos);
  EXPECT_NE(dmm.output.find("timestamps: kernel send 5/5, kernel receive 5/5\n"), std::string::npos);
  EXPECT_NE(slm.output.find("5 transmitted, 5 received\nfar-end loss 0%, near-end loss 0%"), std::string::npos);
  EXPECT_EQ(run("dmm", "4").status, 1);  // no MEP at level 4 on Ethernet1
  const json meps = json::parse(cfmctl({"show", "meps", "--json"}).output, nullptr, false);
  EXPECT_EQ(meps["3"]["demo-ma"]["100"]["pmResponder"],
            json({{"dmmIn", 5}, {"dmrOut", 5}, {"slmIn", 5}, {"slrOut", 5}, {"oneDmIn", 0}, {"tooShort", 0},
                  {"tooLarge", 0}, {"notSent", 0}}))
      << meps.dump(2);

  // The links grow to jumbo frames: the socket follows the kernel's MTU and the reply leaves whole.
  linkA_->mtuIs(9000);
  until("Ethernet1's socket at MTU 9000", [](const json& s) {
    return s.value("sockets", json::object()).value("Ethernet1", json::object()).value("mtu", 0) == 9000;
  });
  EXPECT_EQ(pingAnswered(*hostA_, "host-a", {"--size", "8900"}), "answered");
}

// Host A runs cfmagentd too (MEP 200); the switch's MEP 100 measures delay, loss and one-way
// delay to it in one-second intervals. A delay limit no path meets raises an event at the
// end of each interval; host A sees the 1DMs as one-way results of its own.
TEST_F(CfmAgentdE2e, SessionsMeasureAPeerDaemonAndReportCrossings) {
  linksIs();
  json config = CfmagentdTest::demoConfig();
  config["cfm"]["domains"][0]["associations"][0]["localMeps"][0]["pmSessions"] = json::parse(R"([
    {"name": "delay", "kind": "dmm", "target": 200, "interval": "20ms", "measurementInterval": "1s",
     "thresholds": {"delayMax": "1us", "delayP99": "1s"}},
    {"name": "loss", "kind": "slm", "target": 200, "interval": "20ms", "measurementInterval": "1s", "testId": 9},
    {"name": "one-way", "kind": "1dm", "target": "02:00:00:00:00:0a", "interval": "20ms", "measurementInterval": "1s"}
  ])");
  const json hostA = json::parse(R"({
    "bridgeMac": "02:00:00:00:00:0a", "interfaces": {"Ethernet1": "host-a"},
    "switchports": {"Ethernet1": {"mode": "access", "portVlan": 10}}, "vlans": {"10": {}},
    "cfm": {"domains": [{"level": 3, "name": "demo-md", "associations": [{"name": "demo-ma", "primaryVlan": 10,
            "localMeps": [{"id": 200, "interface": "Ethernet1", "remoteMeps": [100]}]}]}]}})");
  const std::string switchFile = dir_ / "switch.json", hostAFile = dir_ / "host-a.json";
  CfmagentdTest::writeFile(switchFile, config.dump());
  CfmagentdTest::writeFile(hostAFile, hostA.dump());
  startDaemon({"--config", switchFile});
  E2e::Background monitor({CFMCTL, "--socket", socket(), "monitor", "--json"});
  E2e::Background peer(hostA_->exec({CFMAGENTD, "--config", hostAFile, "--control", dir_ / "host-a.sock"}));
  ASSERT_TRUE(peer.waitFor("running;", 10)) << peer.output();

  // Two completed intervals: the first may have begun before MEP 200 was heard.
  const json pm = until("two completed intervals of each session", [](const json& s) {
    const json mep = s.value("pm", json::object()).value("3", json::object()).value("demo-ma", json::object()).value("100", json::object());
    return mep.size() == 3 && std::all_of(mep.begin(), mep.end(), [](const json& session) {
             return session.value("intervals", json::array()).size() >= 3;
           });
  })["pm"]["3"]["demo-ma"]["100"];
  // The last completed interval, a whole second.
  const json delay = pm["delay"]["intervals"][1], loss = pm["loss"]["intervals"][1], oneWay = pm["one-way"]["intervals"][1];
  std::cout << delay.dump() << "\n" << loss.dump() << "\n";
  EXPECT_EQ(pm["delay"]["targetMac"], "02:00:00:00:00:0a");
  EXPECT_GE(pm["delay"].value("kernelSendTimes", 0), 40);  // a veth gives each DMM's
  EXPECT_GE(delay.value("received", 0), 40);
  EXPECT_LE(delay.value("sent", 0) - delay.value("received", 0), 1);  // one may be on its way
  EXPECT_GT(delay["delayNs"].value("p50", 0), 0);
  EXPECT_LT(delay["delayNs"].value("p99", 0), 20'000'000);
  EXPECT_EQ(loss["farEndLoss"].value("lost", -1), 0) << loss;
  EXPECT_EQ(loss["nearEndLoss"].value("lost", -1), 0) << loss;
  EXPECT_GE(loss["farEndLoss"].value("frames", 0), 40);
  EXPECT_GE(oneWay.value("sent", 0), 40);
  EXPECT_TRUE(monitor.waitFor("\"figure\":\"delayMax\"", 5)) << monitor.output();
  EXPECT_EQ(CfmagentdTest::occurrences(monitor.output(), "\"figure\":\"delayP99\""), 0);

  // Host A took the 1DMs as one-way delays from the switch's address.
  const json hostAPm = json::parse(
      E2e::runCommand({CFMCTL, "--socket", dir_ / "host-a.sock", "show", "pm", "--json"}).output, nullptr, false);
  const json in = hostAPm["3"]["demo-ma"]["200"]["1dm-in from 02:00:00:00:00:01"];
  EXPECT_EQ(in.value("kind", ""), "1dm-in") << hostAPm.dump(2);
  EXPECT_GE(in["intervals"][0].value("received", 0), 40) << in.dump(2);  // in 15-minute intervals
}

}  // namespace
