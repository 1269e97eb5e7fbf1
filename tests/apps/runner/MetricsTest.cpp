// The metrics exposition: every byte of a snapshot with each family, what OpenMetrics
// changes, what the snapshot takes from the database, and that promtool, the alerting rules
// and the dashboard agree with what we export.

#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "apps/runner/Metrics.h"
#include "platform/types/CfmCounters.h"
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

// Without the HELP lines, whose presence promtool checks.
const std::string everyFamilyText = R"(# TYPE cfm_build_info gauge
cfm_build_info{version="1.2-3-gabc"} 1
# TYPE cfm_frames_received_total counter
cfm_frames_received_total{interface="Ethernet1",level="8",opcode="0"} 3
cfm_frames_received_total{interface="Ethernet1",level="3",opcode="3"} 7
# TYPE cfm_frames_dropped_total counter
cfm_frames_dropped_total{interface="Ethernet1",level="8",opcode="0",reason="inErrorSrcMacNotUnicast"} 3
# TYPE cfm_frames_sent_total counter
cfm_frames_sent_total{interface="Ethernet1",level="3",opcode="2"} 18446744073709551615
# TYPE cfm_frames_not_sent_total counter
cfm_frames_not_sent_total{interface="Port-Channel1",level="5",opcode="4",reason="outErrorNoPam"} 2
# TYPE cfm_agent_events_total counter
cfm_agent_events_total{interface="Port-Channel1",level="5",opcode="1",event="debugCcmDbFull"} 1
# TYPE cfm_socket_received_frames_total counter
cfm_socket_received_frames_total{interface="Ethernet1"} 10
# TYPE cfm_socket_receive_queue_drops_total counter
cfm_socket_receive_queue_drops_total{interface="Ethernet1"} 1
# TYPE cfm_socket_truncated_frames_total counter
cfm_socket_truncated_frames_total{interface="Ethernet1"} 2
# TYPE cfm_socket_kernel_drops_total counter
cfm_socket_kernel_drops_total{interface="Ethernet1"} 3
# TYPE cfm_socket_sent_frames_total counter
cfm_socket_sent_frames_total{interface="Ethernet1"} 4
# TYPE cfm_socket_send_errors_total counter
cfm_socket_send_errors_total{interface="Ethernet1"} 5
# TYPE cfm_socket_mtu_bytes gauge
cfm_socket_mtu_bytes{interface="Ethernet1"} 1500
# TYPE cfm_database_entries gauge
cfm_database_entries{database="ccm"} 1
cfm_database_entries{database="mip_ccm"} 2
# TYPE cfm_database_limit_entries gauge
cfm_database_limit_entries{database="ccm"} 65536
cfm_database_limit_entries{database="mip_ccm"} 100
# TYPE cfm_mep_fault_alarm gauge
cfm_mep_fault_alarm{level="3",ma="a\"b\\c\nd",mep="100",interface="Ethernet1"} 1
# TYPE cfm_mep_highest_defect gauge
cfm_mep_highest_defect{level="3",ma="a\"b\\c\nd",mep="100",interface="Ethernet1"} 3
# TYPE cfm_mep_ccms_sent_total counter
cfm_mep_ccms_sent_total{level="3",ma="a\"b\\c\nd",mep="100",interface="Ethernet1"} 42
# TYPE cfm_mep_ccm_sequence_errors_total counter
cfm_mep_ccm_sequence_errors_total{level="3",ma="a\"b\\c\nd",mep="100",interface="Ethernet1"} 6
# TYPE cfm_remote_mep_up gauge
cfm_remote_mep_up{level="3",ma="a\"b\\c\nd",mep="100",remote_mep="200"} 1
cfm_remote_mep_up{level="3",ma="a\"b\\c\nd",mep="100",remote_mep="201"} 0
# TYPE cfm_remote_mep_flaps_total counter
cfm_remote_mep_flaps_total{level="3",ma="a\"b\\c\nd",mep="100",remote_mep="200"} 0
cfm_remote_mep_flaps_total{level="3",ma="a\"b\\c\nd",mep="100",remote_mep="201"} 2
# TYPE cfm_pm_delay_seconds gauge
cfm_pm_delay_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="to 200",kind="dmm",stat="min"} 1e-06
cfm_pm_delay_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="to 200",kind="dmm",stat="mean"} 2.5e-06
cfm_pm_delay_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="to 200",kind="dmm",stat="p50"} 2e-06
cfm_pm_delay_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="to 200",kind="dmm",stat="p99"} 0.00025
cfm_pm_delay_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="to 200",kind="dmm",stat="max"} 0.003
# TYPE cfm_pm_delay_variation_seconds gauge
cfm_pm_delay_variation_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="to 200",kind="dmm"} 4e-08
# TYPE cfm_pm_frame_loss_ratio gauge
cfm_pm_frame_loss_ratio{level="3",ma="a\"b\\c\nd",mep="100",session="loss",kind="slm",end="far"} 0.01
cfm_pm_frame_loss_ratio{level="3",ma="a\"b\\c\nd",mep="100",session="loss",kind="slm",end="near"} 0
# TYPE cfm_pm_interval_end_timestamp_seconds gauge
cfm_pm_interval_end_timestamp_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="to 200",kind="dmm"} 1765000000.5
cfm_pm_interval_end_timestamp_seconds{level="3",ma="a\"b\\c\nd",mep="100",session="loss",kind="slm"} 1765000010
)";

std::string withoutHelp(const std::string& text) { return std::regex_replace(text, std::regex("# HELP .*\n"), ""); }

TEST(Metrics, TheExpositionOfEveryFamily) {
  EXPECT_EQ(withoutHelp(Runner::metricsText(everyFamily(), MetricsFormat::prometheus, "1.2-3-gabc")), everyFamilyText);

  // OpenMetrics: the same samples; counter and info families named without their suffix;
  // an end.
  std::string expected = std::regex_replace(everyFamilyText, std::regex("(# TYPE cfm_\\w+)_total "), "$1 ");
  expected = std::regex_replace(expected, std::regex("# TYPE cfm_build_info gauge"), "# TYPE cfm_build info");
  EXPECT_EQ(withoutHelp(Runner::metricsText(everyFamily(), MetricsFormat::openMetrics, "1.2-3-gabc")),
            expected + "# EOF\n");

  EXPECT_EQ(Runner::metricsFormatFor(
                "application/openmetrics-text;version=1.0.0,application/openmetrics-text;version=0.0.1;q=0.75,"
                "text/plain;version=0.0.4;q=0.5,*/*;q=0.1"),  // Prometheus 2's
            MetricsFormat::openMetrics);
  for (const char* accept : {"", "*/*", "text/plain"}) {
    EXPECT_EQ(Runner::metricsFormatFor(accept), MetricsFormat::prometheus) << accept;
  }
}

// What the snapshot takes from the database (the end-to-end test reads the rest through a
// real Prometheus): of each session the last interval completed, not the one filling.
TEST(Metrics, TheSnapshotTakesTheLastIntervalCompleted) {
  auto manager = Kiln::make<Orbis::EntityManager>();
  auto ale = Kiln::ptrCast<Cfm::AleStatus>(manager->entityIs("cfm/aleStatus", "Cfm::AleStatus"));
  auto mep = ale->mdStatusIs(Cfm::MdLevel(3))->maStatusIs(Cfm::MaName("demo-ma"))->localMepStatusIs(Cfm::MepId(100));
  Cfm::PmIntervalAleStatus filling, done;
  filling.start = 20, done.start = 10, done.end = 20, done.delay.count = 1;
  for (const auto& [name, intervals] : {std::pair{"new", std::vector{filling}}, {"old", std::vector{filling, done}}}) {
    Cfm::PmSessionAleStatus& p = mep->pmSessions.emplace_back();
    p.name = name, p.intervals = intervals;
  }
  const MetricsSnapshot s = Runner::metricsSnapshot(*manager, {});
  ASSERT_EQ(s.meps.size(), 1u);
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

// The alerting rules and the dashboard query only what we export: a rename on one side only
// would leave an alert that never fires. (promtool lints a real scrape end to end.)
TEST(Metrics, TheRulesAndTheDashboardNameOnlyWhatWeExport) {
  const std::string text = Runner::metricsText(everyFamily(), MetricsFormat::prometheus, "v");
  const std::set<std::string> exported = metricNames(text);
  for (const char* file : {CFM_PACKAGING_DIR "/prometheus/cfm-alerts.yml", CFM_PACKAGING_DIR "/grafana/cfm-dashboard.json"}) {
    const std::set<std::string> used = metricNames(TestSupport::readFile(file));
    EXPECT_FALSE(used.empty()) << file;
    for (const auto& name : used) EXPECT_TRUE(exported.contains(name)) << file << " names " << name;
  }
}

}  // namespace
