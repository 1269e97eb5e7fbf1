// The software ALE layer against a third-party peer: switch A's cfmagentd runs one down MEP
// on the port that links it to B, where the Linux bridge's own CFM runs the other MEP of
// the same association.

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <thread>

#include "tests/apps/cfmagentd/TestUtil.h"

namespace {

using namespace CfmagentdTest;
using nlohmann::json;
using Clock = std::chrono::steady_clock;

constexpr double kInterval = 1.0;  // the association's CCM interval, in seconds

class SoftwareAleE2e : public ::testing::Test {
 protected:
  struct Switch {
    std::optional<E2e::Netns> ns;
    std::string device, socket;
    std::optional<E2e::Background> daemon;
  };

  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
    for (auto* sw : {&a_, &b_}) sw->ns.emplace();
    a_.device = "ale-a", b_.device = "ale-b";
    link_.emplace(*a_.ns, a_.device, *b_.ns, b_.device);
  }
  void TearDown() override {
    for (auto* sw : {&a_, &b_}) {
      if (sw->daemon && HasFailure()) {
        sw->daemon->signal(SIGTERM);
        sw->daemon->wait();
        std::cerr << sw->device << "'s cfmagentd said:\n" << sw->daemon->output();
      }
      sw->daemon.reset();
    }
    link_.reset();
  }

  // cfmagentd on `sw` with MEP `mep` of level 5, association `maName`, expecting `remote`.
  void start(Switch& sw, const std::string& mac, int mep, int remote, const std::string& maName) {
    const json config = {
        {"bridgeMac", mac},
        {"interfaces", {{"Ethernet1", sw.device}}},
        {"switchports", {{"Ethernet1", {{"mode", "access"}, {"portVlan", 10}}}}},
        {"vlans", {{"10", json::object()}}},
        {"cfm",
         {{"defaultProfile", {{"ccmEnable", true}, {"ccmInterval", "1s"}}},
          {"domains",
           {{{"level", 5}, {"name", "ale-md"}, {"format", "characterString"}, {"defaultMip", true},
             {"associations",
              {{{"name", maName}, {"format", "characterString"}, {"direction", "down"}, {"primaryVlan", 10},
                {"localMeps", {{{"id", mep}, {"interface", "Ethernet1"}, {"remoteMeps", {remote}}}}}}}}}}}}},
    };
    const std::string file = dir_ / (sw.device + ".json");
    writeFile(file, config.dump());
    sw.socket = dir_ / (sw.device + ".sock");
    sw.daemon.emplace(sw.ns->exec({CFMAGENTD, "--config", file, "--control", sw.socket}));
    ASSERT_TRUE(sw.daemon->waitFor("running;", 10)) << sw.daemon->output();
  }

  // The switch's report of its MEP, once `holds` is true of it.
  json mepOnceIs(const Switch& sw, int mep, const std::string& what, const std::function<bool(const json&)>& holds,
                 double seconds = 10) const {
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    json report;
    for (;;) {
      const auto shown = E2e::runCommand({CFMCTL, "--socket", sw.socket, "show", "meps", "--json"});
      const json meps = json::parse(shown.output, nullptr, false);
      report = meps.is_object() ? meps["5"]["ale-ma"][std::to_string(mep)] : json();
      if (report.is_object() && holds(report)) return report;
      if (Clock::now() > deadline) {
        ADD_FAILURE() << sw.device << ": " << what << " never happened; the MEP: " << report.dump(2);
        return report;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
  }
  static std::function<bool(const json&)> remoteIs(int remote, const std::string& state, const std::string& highest,
                                                   bool rdi) {
    return [=](const json& mep) {
      const json r = mep["remoteMeps"][std::to_string(remote)];
      return r.is_object() && r["rMepState"] == state && mep["highestPrDefect"] == highest && mep["presentRdi"] == rdi;
    };
  }

  ScratchDir dir_;
  Switch a_, b_;
  std::optional<E2e::VethLink> link_;
};

}  // namespace

// The third-party peer: the Linux bridge's own CFM, in a User-mode Linux kernel on B's end
// of the link (scripts/build-kernel-peer.sh), with MEP 2 of the same association. It
// prints its view of MEP 1 whenever that changes; "tx 0" silences it.
TEST_F(SoftwareAleE2e, TheLinuxBridgesCfmAcceptsTheCcmsAndAnswersThem) {
  start(a_, "02:00:00:00:0a:01", 1, 2, "ale-ma");
  E2e::Background peer(
      b_.ns->exec({KERNEL_PEER_DIR "/linux", "mem=64M", "root=/dev/root", "rootfstype=hostfs", "rootflags=/", "ro",
                   "init=" KERNEL_PEER_DIR "/kernel-cfm-peer", "vec0:transport=raw,ifname=" + b_.device,
                   // The guest may not keep AVX state (the build script says why).
                   "GLIBC_TUNABLES=glibc.cpu.hwcaps=-AVX,-AVX2,-AVX512F,-AVX512VL,-AVX512BW,-AVX512DQ,-AVX512CD,-EVEX",
                   "con0=fd:0,fd:1", "con=none", "console=tty0", "quiet", "--", "vec0", "02:00:00:00:0b:01", "5", "2",
                   "1", "1s", "ale-md", "ale-ma"}),
      true);
  std::size_t from = 0;
  // The peer's view of MEP 1 reaches `status` (after what it said before), within `seconds`.
  const auto peerSees = [&](const std::string& status, double seconds = 10) {
    const std::string line = "kernel peer: peer 1 heard " + status;
    if (!peer.waitFor(line, seconds, from)) return false;
    from = peer.output().find(line, from);
    return true;
  };
  const auto mepOk = remoteIs(2, "ok", "none", false);

  // Each accepts the other's CCMs, with their Port and Interface Status TLVs. None of ours
  // has an unexpected opcode, version or level.
  ASSERT_TRUE(peerSees("defect=0 rdi=0 portTlv=2 ifTlv=1", 30)) << peer.output();
  const json up = mepOnceIs(a_, 1, "the kernel's MEP up", mepOk);
  const json r = up["remoteMeps"]["2"];
  EXPECT_EQ(r["macAddress"], "02:00:00:00:0b:01");
  EXPECT_EQ(r["portStatusTlv"], 2);
  EXPECT_EQ(r["interfaceStatusTlv"], 1);

  // The kernel goes quiet: MEP 1 fails it and sends RDI, which the kernel reports.
  peer.send("tx 0\n");
  mepOnceIs(a_, 1, "the kernel's MEP failed", remoteIs(2, "failed", "remoteCcm", true));
  EXPECT_TRUE(peerSees("defect=0 rdi=1")) << peer.output();
  // 2.5 s on, MEP 1's fault alarm stands, and the kernel has heard RDI all along.
  mepOnceIs(a_, 1, "the fault alarm", [](const json& mep) { return mep["faultAlarm"] == "remoteCcm"; });
  EXPECT_EQ(peer.output().find("rdi=0", from), std::string::npos) << peer.output();
  peer.send("tx 3600\n");
  mepOnceIs(a_, 1, "the kernel's MEP back", mepOk);
  EXPECT_TRUE(peerSees("defect=0 rdi=0")) << peer.output();
  // Every CCM so far followed the one before: at most the first, which the kernel had no
  // number for, was unexpected.
  const std::string last = peer.output().substr(peer.output().rfind("seqUnexpected="));
  EXPECT_LE(std::stoi(last.substr(std::string("seqUnexpected=").size())), 1) << peer.output();
  EXPECT_NE(last.find("opcodeUnexpected=0 versionUnexpected=0 levelLow=0"), std::string::npos) << last;

  // MEP 1's link goes down: the kernel declares it lost within 3.5 intervals plus one.
  const auto down = Clock::now();
  a_.ns->ip({"link", "set", a_.device, "down"});
  EXPECT_TRUE(peerSees("defect=1", 3.5 * kInterval + kInterval)) << peer.output();
  EXPECT_LE(std::chrono::duration<double>(Clock::now() - down).count(), 3.5 * kInterval + kInterval);
  // It comes back dormant: MEP 1's CCMs say so in their Interface Status TLV.
  a_.ns->ip({"link", "set", a_.device, "mode", "dormant"});
  a_.ns->ip({"link", "set", a_.device, "up"});
  E2e::VethLink::awaitState(*a_.ns, a_.device, "DORMANT");
  EXPECT_TRUE(peerSees("defect=0 rdi=0 portTlv=2 ifTlv=5")) << peer.output();
}
