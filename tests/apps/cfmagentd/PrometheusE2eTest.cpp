// The metrics endpoint scraped by a real Prometheus in the switch's namespace: PromQL over
// its HTTP API sees the loopback counts the test makes and the remote MEP the test fails,
// and promtool's linter passes the daemon's own scrape.

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "tests/apps/cfmagentd/TestUtil.h"

namespace {

using nlohmann::json;
using PrometheusE2e = CfmagentdTest::DaemonE2e;

TEST_F(PrometheusE2e, APrometheusScrapesTheDaemonAndAnswersQueries) {
  switch_->ip({"link", "set", "lo", "up"});
  linkA_.emplace(*hostA_, "host-a", *switch_, "sw-a");
  startDaemon({"--metrics", "127.0.0.1:9750"});
  CfmagentdTest::writeFile(dir_ / "prometheus.yml", R"(global: {scrape_interval: 1s, scrape_timeout: 1s}
scrape_configs: [{job_name: cfm, static_configs: [{targets: ["127.0.0.1:9750"]}]}]
)");
  E2e::Background prometheus(switch_->exec({"prometheus", "--config.file=" + dir_ / "prometheus.yml",
                                            "--storage.tsdb.path=" + dir_ / "tsdb",
                                            "--web.listen-address=127.0.0.1:9090"}));
  ASSERT_TRUE(prometheus.waitFor("Server is ready to receive web requests", 30)) << prometheus.output();

  // The first value of a PromQL query, "" while it has none.
  const auto query = [&](const std::string& promql) {
    const auto r = E2e::runCommand(switch_->exec(
        {"curl", "-sfG", "--data-urlencode", "query=" + promql, "http://127.0.0.1:9090/api/v1/query"}));
    const json answer = json::parse(r.output, nullptr, false);
    const json value = answer.is_object() ? answer.value("/data/result/0/value/1"_json_pointer, json()) : json();
    return value.is_string() ? value.get<std::string>() : std::string();
  };
  const auto until = [&](const std::string& promql, const std::string& value) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::string now;
    while ((now = query(promql)) != value && std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(now, value) << promql << "\n" << prometheus.output();
  };

  until(R"(up{job="cfm"})", "1");
  // MEP 200 comes for three CCMs and goes; two LBMs are answered.
  sendCcms(*hostA_, "host-a", {"--interval", "1", "--count", "3"});
  ASSERT_EQ(pingAnswered(*hostA_, "host-a"), "answered");
  until(R"(cfm_frames_received_total{interface="Ethernet1",level="3",opcode="3"})", "2");
  until(R"(cfm_frames_sent_total{interface="Ethernet1",level="3",opcode="2"})", "2");
  // Up while its CCMs came, then failed: one flap, and an alarm.
  until(R"(max_over_time(cfm_remote_mep_up{mep="100",remote_mep="200"}[5m]))", "1");
  until(R"(cfm_remote_mep_up{level="3",ma="demo-ma",mep="100",remote_mep="200"})", "0");
  until(R"(cfm_remote_mep_flaps_total{remote_mep="200"})", "1");
  until(R"(cfm_mep_highest_defect{mep="100"})", "3");

  // The daemon's own scrape, as promtool lints it.
  const auto lint = E2e::runCommand(
      switch_->exec({"sh", "-c", "curl -sf http://127.0.0.1:9750/metrics > " + dir_ / "scrape.txt" +
                                     " && promtool check metrics < " + dir_ / "scrape.txt"}));
  EXPECT_EQ(lint.status, 0) << lint.output;
  EXPECT_EQ(lint.output, "");
  EXPECT_NE(CfmagentdTest::readFile(dir_ / "scrape.txt").find("cfm_build_info{version="), std::string::npos);
}

}  // namespace
