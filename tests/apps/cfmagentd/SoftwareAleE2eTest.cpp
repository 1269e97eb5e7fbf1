// The software ALE layer against a third-party peer: the switch's cfmagentd runs down MEP 1
// on its port to host A, where the Linux bridge's own CFM, in a User-mode Linux kernel
// (scripts/build-kernel-peer.sh), runs MEP 2 of the same association. The peer prints its
// view of MEP 1 whenever that changes; "tx 0" silences it. MEP 1's view is the state
// export's and the events cfmctl monitor prints.

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <sstream>

#include "tests/apps/cfmagentd/TestUtil.h"

namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;
using SoftwareAleE2e = CfmagentdTest::DaemonE2e;

constexpr double kInterval = 1.0;  // the association's CCM interval, in seconds

// MEP 1 sees MEP 2 in `state`, its highest defect is `highest`, and it sends RDI or not.
std::function<bool(const json&)> mep1Sees(const std::string& state, const std::string& highest, bool rdi) {
  return [=](const json& s) {
    const json mep = s.value("/aleMeps/5/ale-ma/1"_json_pointer, json::object());
    return mep.value("/remoteMeps/2/rMepState"_json_pointer, "") == state && mep.value("highestPrDefect", "") == highest &&
           mep.value("presentRdi", !rdi) == rdi;
  };
}

TEST_F(SoftwareAleE2e, TheLinuxBridgesCfmAcceptsTheCcmsAndAnswersThem) {
  CfmagentdTest::writeFile(dir_ / "ale.json", R"({"bridgeMac": "02:00:00:00:0a:01", "interfaces": {"Ethernet1": "sw-a"},
    "switchports": {"Ethernet1": {"mode": "access", "portVlan": 10}}, "vlans": {"10": {}},
    "cfm": {"defaultProfile": {"ccmEnable": true, "ccmInterval": "1s"}, "domains": [{"level": 5, "name": "ale-md",
      "associations": [{"name": "ale-ma", "primaryVlan": 10, "faultAlarm": {"fngResetTime": 2.5},
                        "localMeps": [{"id": 1, "interface": "Ethernet1", "remoteMeps": [2]}]}]}]}})");
  linkA_.emplace(*hostA_, "host-a", *switch_, "sw-a");
  startDaemon({"--config", dir_ / "ale.json"});
  E2e::Background peer(
      hostA_->exec({KERNEL_PEER_DIR "/linux", "mem=64M", "root=/dev/root", "rootfstype=hostfs", "rootflags=/", "ro",
                    "init=" KERNEL_PEER_DIR "/kernel-cfm-peer", "vec0:transport=raw,ifname=host-a",
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

  // Each accepts the other's CCMs, with their Port and Interface Status TLVs. None of ours
  // has an unexpected opcode, version or level.
  ASSERT_TRUE(peerSees("defect=0 rdi=0 portTlv=2 ifTlv=1", 30)) << peer.output();
  const json r = until("the kernel's MEP up", [ok = mep1Sees("ok", "none", false)](const json& s) {
    return ok(s) && s.value("/aleMeps/5/ale-ma/1/faultAlarm"_json_pointer, "") == "none";  // nothing left from its boot
  })["/aleMeps/5/ale-ma/1/remoteMeps/2"_json_pointer];
  EXPECT_EQ(r["macAddress"], "02:00:00:00:0b:01");
  EXPECT_EQ(r["portStatusTlv"], 2);
  EXPECT_EQ(r["interfaceStatusTlv"], 1);
  E2e::Background monitor({CFMCTL, "--socket", socket(), "monitor", "--json"});

  // The kernel goes quiet: MEP 1 fails it and sends RDI, which the kernel reports.
  peer.send("tx 0\n");
  until("the kernel's MEP failed", mep1Sees("failed", "remoteCcm", true));
  EXPECT_TRUE(peerSees("defect=0 rdi=1")) << peer.output();
  // 2.5 s on, MEP 1's fault alarm stands, and the kernel has heard RDI all along.
  until("the fault alarm", [](const json& s) {
    return s.value("/aleMeps/5/ale-ma/1/faultAlarm"_json_pointer, "") == "remoteCcm";
  });
  EXPECT_EQ(peer.output().find("rdi=0", from), std::string::npos) << peer.output();
  const double resumed = double(::time(nullptr));
  peer.send("tx 3600\n");
  // Back, and since then; ok to failed once is one flap.
  const json back = until("the kernel's MEP back", mep1Sees("ok", "none", false))["/aleMeps/5/ale-ma/1/remoteMeps/2"_json_pointer];
  EXPECT_GE(back.value("rMepFailedOkTime", 0.0), resumed) << back.dump(2);
  EXPECT_EQ(back["flaps"], 1) << back.dump(2);
  EXPECT_TRUE(peerSees("defect=0 rdi=0")) << peer.output();
  // The layer's events meanwhile, each once and in order, the alarm cleared its reset time on.
  ASSERT_TRUE(monitor.waitFor("faultAlarmCleared", 10)) << monitor.output();
  std::string events;
  std::istringstream lines(monitor.output());
  for (std::string line; std::getline(lines, line);) {
    const json e = json::parse(line, nullptr, false);
    EXPECT_EQ(e.value("mepId", ""), "1") << line;
    events += e.value("event", line) + " " + e.value("remoteMepId", e.value("defect", "")) + ", ";
  }
  EXPECT_EQ(events, "remoteMepFailed 2, defectRaised remoteCcm, faultAlarmRaised remoteCcm, remoteMepOk 2, "
                    "defectCleared remoteCcm, faultAlarmCleared remoteCcm, ");
  // Every CCM so far followed the one before: at most the first, which the kernel had no
  // number for, was unexpected.
  const std::string last = peer.output().substr(peer.output().rfind("seqUnexpected="));
  EXPECT_LE(std::stoi(last.substr(std::string("seqUnexpected=").size())), 1) << peer.output();
  EXPECT_NE(last.find("opcodeUnexpected=0 versionUnexpected=0 levelLow=0"), std::string::npos) << last;

  // MEP 1's link goes down: the kernel declares it lost within 3.5 intervals plus one.
  const auto down = Clock::now();
  switch_->ip({"link", "set", "sw-a", "down"});
  EXPECT_TRUE(peerSees("defect=1", 3.5 * kInterval + kInterval)) << peer.output();
  EXPECT_LE(std::chrono::duration<double>(Clock::now() - down).count(), 3.5 * kInterval + kInterval);
  // It comes back dormant: MEP 1's CCMs say so in their Interface Status TLV.
  switch_->ip({"link", "set", "sw-a", "mode", "dormant"});
  switch_->ip({"link", "set", "sw-a", "up"});
  E2e::VethLink::awaitState(*switch_, "sw-a", "DORMANT");
  EXPECT_TRUE(peerSees("defect=0 rdi=0 portTlv=2 ifTlv=5")) << peer.output();
}

}  // namespace
