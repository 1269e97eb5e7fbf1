// The metrics exposition: every byte of a snapshot with each family, what OpenMetrics
// changes, what the snapshot takes from the database, and that promtool, the alerting rules
// and the dashboard agree with what we export.

#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include "apps/runner/Metrics.h"
#include "platform/types/CfmConfig.h"
#include "platform/types/CfmCounters.h"
#include "platform/types/CfmStatus.h"
#include "tests/support/Process.h"
#include "tests/support/Scratch.h"

namespace {

using CfmAgent::CounterId;
using Runner::MetricsFormat;
using Runner::MetricsSnapshot;

constexpr std::uint8_t id(CounterId c) { return std::uint8_t(c); }

MetricsSnapshot everyFamily() {
  MetricsSnapshot s;
  s.intfs = {"Ethernet1", "Port-Channel1"};
  s.counters = {{0, 8, 0, id(CounterId::in_), 3},
                {0, 8, 0, id(CounterId::inErrorSrcMacNotUnicast_), 3},
                {0, 3, 2, id(CounterId::out_), 18446744073709551615ull},
                {0, 3, 3, id(CounterId::in_), 7},
                {1, 5, 1, id(CounterId::debugCcmDbFull_), 1},
                {1, 5, 4, id(CounterId::outErrorNoPam_), 2}};
  Interface::Pam::Counters socket;
  socket.rxFrames = 10, socket.rxQueueDrops = 1, socket.rxTruncated = 2, socket.rxKernelDrops = 3;
  socket.txFrames = 4, socket.txErrors = 5;
  s.sockets = {{"Ethernet1", 1500, socket}};
  s.databases = {{"ccm", 1, 65536}, {"mip_ccm", 2, 100}};
  Cfm::PmIntervalAleStatus dmm;
  dmm.end = 1765000000.5;
  dmm.delay = {.count = 9, .min = 1000, .max = 3000000, .mean = 2500, .p50 = 2000, .p99 = 250000, .variation = 40};
  Cfm::PmIntervalAleStatus slm;
  slm.end = 1765000010;
  slm.farEndFrames = 100, slm.farEndLost = 1, slm.nearEndFrames = 8, slm.nearEndLost = 0;
  s.meps = {{3, "a\"b\\c\nd", 100, "Ethernet1", true, Cfm::MepDefect::remoteCcm, 42, 6,
             {{200, true, 0}, {201, false, 2}},
             {{"to 200", Cfm::PmKind::dmm, dmm}, {"loss", Cfm::PmKind::slm, slm}}}};
  return s;
}

const std::string everyFamilyText = R"(# HELP cfm_build_info The cfmagentd build.
# TYPE cfm_build_info gauge
cfm_build_info{version="1.2-3-gabc"} 1
# HELP cfm_frames_received_total CFM frames received (the agent's in counter; level 8 and opcode 0 until the header and the opcode are accepted).
# TYPE cfm_frames_received_total counter
cfm_frames_received_total{interface="Ethernet1",level="8",opcode="0"} 3
cfm_frames_received_total{interface="Ethernet1",level="3",opcode="3"} 7
# HELP cfm_frames_dropped_total CFM frames dropped, by the agent's in-error counter that says why.
# TYPE cfm_frames_dropped_total counter
cfm_frames_dropped_total{interface="Ethernet1",level="8",opcode="0",reason="inErrorSrcMacNotUnicast"} 3
# HELP cfm_frames_sent_total CFM frames the agent handed to a packet socket (LBR, LTR, relayed LTM).
# TYPE cfm_frames_sent_total counter
cfm_frames_sent_total{interface="Ethernet1",level="3",opcode="2"} 18446744073709551615
# HELP cfm_frames_not_sent_total CFM frames the agent could not send, by the out-error counter that says why.
# TYPE cfm_frames_not_sent_total counter
cfm_frames_not_sent_total{interface="Port-Channel1",level="5",opcode="4",reason="outErrorNoPam"} 2
# HELP cfm_agent_events_total Events the agent counts that are not drops by themselves (its debug counters).
# TYPE cfm_agent_events_total counter
cfm_agent_events_total{interface="Port-Channel1",level="5",opcode="1",event="debugCcmDbFull"} 1
# HELP cfm_socket_received_frames_total Frames the packet socket queued for the agent.
# TYPE cfm_socket_received_frames_total counter
cfm_socket_received_frames_total{interface="Ethernet1"} 10
# HELP cfm_socket_receive_queue_drops_total Frames dropped because the agent's receive queue was full.
# TYPE cfm_socket_receive_queue_drops_total counter
cfm_socket_receive_queue_drops_total{interface="Ethernet1"} 1
# HELP cfm_socket_truncated_frames_total Frames too long to take whole.
# TYPE cfm_socket_truncated_frames_total counter
cfm_socket_truncated_frames_total{interface="Ethernet1"} 2
# HELP cfm_socket_kernel_drops_total Frames the kernel dropped before the socket read them.
# TYPE cfm_socket_kernel_drops_total counter
cfm_socket_kernel_drops_total{interface="Ethernet1"} 3
# HELP cfm_socket_sent_frames_total Frames the packet socket sent.
# TYPE cfm_socket_sent_frames_total counter
cfm_socket_sent_frames_total{interface="Ethernet1"} 4
# HELP cfm_socket_send_errors_total Frames the packet socket failed to send.
# TYPE cfm_socket_send_errors_total counter
cfm_socket_send_errors_total{interface="Ethernet1"} 5
# HELP cfm_socket_mtu_bytes The largest frame the packet socket sends, without the Ethernet header.
# TYPE cfm_socket_mtu_bytes gauge
cfm_socket_mtu_bytes{interface="Ethernet1"} 1500
# HELP cfm_database_entries Entries in the agent's CCM learning databases.
# TYPE cfm_database_entries gauge
cfm_database_entries{database="ccm"} 1
cfm_database_entries{database="mip_ccm"} 2
# HELP cfm_database_limit_entries The entries a CCM learning database takes at most.
# TYPE cfm_database_limit_entries gauge
cfm_database_limit_entries{database="ccm"} 65536
cfm_database_limit_entries{database="mip_ccm"} 100
# HELP cfm_mep_fault_alarm 1 while the local MEP's fault alarm is raised.
# TYPE cfm_mep_fault_alarm gauge
cfm_mep_fault_alarm{level="3",ma="a\"b\\c\nd",mep="100",interface="Ethernet1"} 1
# HELP cfm_mep_highest_defect The local MEP's highest defect: 0 none, 1 rdiCcm, 2 macStatus, 3 remoteCcm, 4 errorCcm, 5 xconCcm.
# TYPE cfm_mep_highest_defect gauge
cfm_mep_highest_defect{level="3",ma="a\"b\\c\nd",mep="100",interface="Ethernet1"} 3
# HELP cfm_mep_ccms_sent_total CCMs the local MEP sent.
# TYPE cfm_mep_ccms_sent_total counter
cfm_mep_ccms_sent_total{level="3",ma="a\"b\\c\nd",mep="100",interface="Ethernet1"} 42
# HELP cfm_mep_ccm_sequence_errors_total CCMs from the local MEP's remote MEPs out of sequence.
# TYPE cfm_mep_ccm_sequence_errors_total counter
cfm_mep_ccm_sequence_errors_total{level="3",ma="a\"b\\c\nd",mep="100",interface="Ethernet1"} 6
# HELP cfm_remote_mep_up 1 while the remote MEP's state is ok (its CCMs arrive).
# TYPE cfm_remote_mep_up gauge
cfm_remote_mep_up{level="3",ma="a\"b\\c\nd",mep="100",remote_mep="200"} 1
cfm_remote_mep_up{level="3",ma="a\"b\\c\nd",mep="100",remote_mep="201"} 0
# HELP cfm_remote_mep_flaps_total How often the remote MEP went from ok to failed.
# TYPE cfm_remote_mep_flaps_total counter
cfm_remote_mep_flaps_total{level="3",ma="a\"b\\c\nd",mep="100",remote_mep="200"} 0
cfm_remote_mep_flaps_total{level="3",ma="a\"b\\c\nd",mep="100",remote_mep="201"} 2
# HELP cfm_pm_delay_seconds Frame delay of the session's last completed interval, by statistic.
# TYPE cfm_pm_delay_seconds gauge
cfm_pm_delay_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="to 200",kind="dmm",stat="min"} 1e-06
cfm_pm_delay_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="to 200",kind="dmm",stat="mean"} 2.5e-06
cfm_pm_delay_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="to 200",kind="dmm",stat="p50"} 2e-06
cfm_pm_delay_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="to 200",kind="dmm",stat="p99"} 0.00025
cfm_pm_delay_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="to 200",kind="dmm",stat="max"} 0.003
# HELP cfm_pm_delay_variation_seconds Frame delay variation of the session's last completed interval.
# TYPE cfm_pm_delay_variation_seconds gauge
cfm_pm_delay_variation_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="to 200",kind="dmm"} 4e-08
# HELP cfm_pm_frame_loss_ratio Frame loss of the session's last completed interval, far end and near end.
# TYPE cfm_pm_frame_loss_ratio gauge
cfm_pm_frame_loss_ratio{level="3",ma="a\"b\\c\nd",mep="100",session="loss",kind="slm",end="far"} 0.01
cfm_pm_frame_loss_ratio{level="3",ma="a\"b\\c\nd",mep="100",session="loss",kind="slm",end="near"} 0
# HELP cfm_pm_interval_end_timestamp_seconds When the session's last completed interval ended.
# TYPE cfm_pm_interval_end_timestamp_seconds gauge
cfm_pm_interval_end_timestamp_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="to 200",kind="dmm"} 1765000000.5
cfm_pm_interval_end_timestamp_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="loss",kind="slm"} 1765000010
)";

TEST(Metrics, TheExpositionOfEveryFamily) {
  EXPECT_EQ(Runner::metricsText(everyFamily(), MetricsFormat::prometheus, "1.2-3-gabc"), everyFamilyText);

  // OpenMetrics: the same samples; counter and info families named without their suffix;
  // an end.
  std::string expected = std::regex_replace(everyFamilyText, std::regex("(# (HELP|TYPE) cfm_\\w+)_total "), "$1 ");
  expected = std::regex_replace(expected, std::regex("# (HELP|TYPE) cfm_build_info"), "# $1 cfm_build");
  expected = std::regex_replace(expected, std::regex("# TYPE cfm_build gauge"), "# TYPE cfm_build info");
  EXPECT_EQ(Runner::metricsText(everyFamily(), MetricsFormat::openMetrics, "1.2-3-gabc"), expected + "# EOF\n");

  EXPECT_EQ(Runner::metricsFormatFor(
                "application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;q=0.75,"
                "text/plain;version=0.0.4;q=0.5,*/*;q=0.1"),  // Prometheus 2's
            MetricsFormat::openMetrics);
  for (const char* accept : {"", "*/*", "text/plain"}) {
    EXPECT_EQ(Runner::metricsFormatFor(accept), MetricsFormat::prometheus) << accept;
  }
}

// What the snapshot takes: every counter entry, each MEP with its remote MEPs, and of each
// session the last interval completed, not the one filling.
TEST(Metrics, TheSnapshotOfTheDatabase) {
  auto manager = Kiln::make<Orbis::EntityManager>();
  auto status = Kiln::ptrCast<CfmAgent::Status>(manager->entityIs("cfm/status", "CfmAgent::Status"));
  auto e1 = status->counterIs()->intfCounterIs(Lumen::IntfId("Ethernet1"));
  e1->mdCounterIs(Cfm::MdLevel(3))->opCodeCounterIs(Cfm::opCodeLbm)->counterIs(CounterId::in_, 5);
  e1->mdCounterIs(Cfm::MdLevel(3))->opCodeCounterIs(Cfm::opCodeLbr)->counterIs(CounterId::out_, 4);
  status->ccmDbIs();
  auto ale = Kiln::ptrCast<Cfm::AleStatus>(manager->entityIs("cfm/aleStatus", "Cfm::AleStatus"));
  auto mep = ale->mdStatusIs(Cfm::MdLevel(3))->maStatusIs(Cfm::MaName("demo-ma"))->localMepStatusIs(Cfm::MepId(100));
  mep->intfId = Lumen::IntfId("Ethernet1");
  for (const auto& [remote, state, flaps] : {std::tuple(200, Cfm::RemoteMepState::ok, 1), {201, Cfm::RemoteMepState::start, 0}}) {
    Cfm::RemoteMepAleStatus& r = mep->remoteMepStatus.emplace_back();
    r.mepId = Cfm::MepId(remote), r.state = state, r.flaps = flaps;
  }
  Cfm::PmIntervalAleStatus filling, done;
  filling.start = 20, done.start = 10, done.end = 20, done.delay.count = 1;
  for (const auto& [name, intervals] : {std::pair{"new", std::vector{filling}}, {"old", std::vector{filling, done}}}) {
    Cfm::PmSessionAleStatus& p = mep->pmSessions.emplace_back();
    p.name = name, p.intervals = intervals;
  }

  const MetricsSnapshot s = Runner::metricsSnapshot(*manager, {});
  EXPECT_EQ(s.intfs, std::vector<std::string>{"Ethernet1"});
  ASSERT_EQ(s.counters.size(), 2u);
  EXPECT_EQ(std::tuple(s.counters[0].opCode, s.counters[0].id, s.counters[0].value),
            std::tuple(Cfm::opCodeLbr, id(CounterId::out_), 4u));
  EXPECT_EQ(std::tuple(s.counters[1].level, s.counters[1].opCode, s.counters[1].value),
            std::tuple(std::uint8_t(3), Cfm::opCodeLbm, 5u));
  ASSERT_EQ(s.databases.size(), 1u);
  EXPECT_EQ(s.databases[0].limit, CfmAgent::Config::defaultCcmDbEntryLimit);
  ASSERT_EQ(s.meps.size(), 1u);
  EXPECT_EQ(std::tuple(s.meps[0].ma, s.meps[0].mepId, s.meps[0].intf), std::tuple("demo-ma", 100, "Ethernet1"));
  ASSERT_EQ(s.meps[0].remoteMeps.size(), 2u);
  EXPECT_EQ(std::tuple(s.meps[0].remoteMeps[0].up, s.meps[0].remoteMeps[0].flaps), std::tuple(true, 1u));
  EXPECT_FALSE(s.meps[0].remoteMeps[1].up);
  ASSERT_EQ(s.meps[0].pmSessions.size(), 1u);
  EXPECT_EQ(s.meps[0].pmSessions[0].name, "old");
  EXPECT_EQ(s.meps[0].pmSessions[0].interval, done);
}

std::set<std::string> metricNames(const std::string& text) {
  std::set<std::string> names;
  const std::regex name("cfm_[a-z_]+");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), name); it != std::sregex_iterator(); ++it) {
    names.insert(it->str());
  }
  return names;
}

// promtool's linter passes what we export; the alerting rules and the dashboard query only
// what we export (a rename on one side only would leave an alert that never fires).
TEST(Metrics, PromtoolTheRulesAndTheDashboardAgree) {
  const std::string text = Runner::metricsText(everyFamily(), MetricsFormat::prometheus, "v");
  TestSupport::ScratchDir dir;
  TestSupport::writeFile(dir / "scrape.txt", text);
  const auto lint = E2e::runCommand({"sh", "-c", "promtool check metrics < " + dir / "scrape.txt"});
  EXPECT_EQ(lint.status, 0) << lint.output;
  EXPECT_EQ(lint.output, "");

  const std::set<std::string> exported = metricNames(text);
  for (const char* file : {CFM_PACKAGING_DIR "/prometheus/cfm-alerts.yml", CFM_PACKAGING_DIR "/grafana/cfm-dashboard.json"}) {
    const std::set<std::string> used = metricNames(TestSupport::readFile(file));
    EXPECT_FALSE(used.empty()) << file;
    for (const auto& name : used) EXPECT_TRUE(exported.contains(name)) << file << " names " << name;
  }
}

}  // namespace
