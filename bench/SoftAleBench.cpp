// Timing of the software ALE layer on this machine, in real time: N local MEPs (one per
// access port, each its own association at level 5) sending CCMs at the 3.3 ms interval
// through a transmit that only notes when each CCM left. Each MEP lists one remote MEP
// that speaks once, through the sockets' tap, and then falls silent.
//
// Reports, for every gap between two CCMs of one MEP: the mean, the 99th percentile and
// the worst, in ms, and the share within 10% of the interval; and how long after the
// remote MEP's one CCM each MEP declared it failed, against 3.5 intervals plus one.
//
// With events on (the second argument), every event is made into its JSON line and its
// log text, as the daemon does for its monitors and its log, and counted.

#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "apps/runner/Events.h"
#include "platform/ale/CcmFrame.h"
#include "platform/ale/SoftAle.h"
#include "platform/intf/IntfStatus.h"
#include "platform/types/Bridging.h"
#include "platform/types/CfmAleTypes.h"

namespace {

double monotonicNow() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

const Lumen::IntfId intfOf(std::size_t i) { return Lumen::IntfId("Ethernet" + std::to_string(i + 1)); }

void BM_CcmIntervals(benchmark::State& state) {
  const auto n = std::size_t(state.range(0));
  const double interval = Cfm::ccmTxIntervals[0].value();
  const double seconds = 2.0;
  Kiln::EventLoop& loop = Kiln::eventLoop();
  auto db = Kiln::make<Orbis::EntityManager>(loop);
  auto bridging = Kiln::ptrCast<Bridging::Config>(db->entityIs("bridging/config", "Bridging::Config"));
  auto intfs = Kiln::ptrCast<Interface::AllIntfStatusDir>(
      db->entityIs("interface/status/all", "Interface::AllIntfStatusDir", "AllIntfStatusDir"));
  auto ale = Kiln::ptrCast<Cfm::AleConfig>(db->entityIs("cfm/aleConfig", "Cfm::AleConfig"));
  bridging->bridgeMacAddrIs(Lumen::EthAddr(2, 0, 0, 0, 0, 1));
  auto md = ale->mdConfigIs(Cfm::MdLevel(5));
  md->mdNameIs({Cfm::MdName("bench-md"), Cfm::mdNameFormatCharacterString});
  std::vector<SoftAle::Maid> maids;
  for (std::size_t i = 0; i < n; ++i) {
    auto port = bridging->switchIntfConfigIs(intfOf(i));
    port->modeIs(Bridging::switchIntfModeAccess);
    port->portVlanIs(Lumen::VlanIdOrNone(10));
    intfs->intfStatusIs(intfOf(i), "dev" + std::to_string(i));
    const Cfm::MaNameWithFormat name{Cfm::MaName("ma" + std::to_string(i)), Cfm::maNameFormatCharacterString};
    auto ma = md->maConfigIs(name.name);
    ma->maNameIs(name);
    ma->primaryVlanIdIs(Lumen::VlanIdOrNone(10));
    ma->ccmEnableIs(true);
    ma->ccmTxIntervalIs(Cfm::ccmTxIntervals[0]);
    auto mep = ma->localMepConfigIs(Cfm::MepId(1));
    mep->intfIdIs(intfOf(i));
    mep->remoteMepConfigIs(Cfm::MepId(2), true);
    Cfm::maidIs(maids.emplace_back(), md->mdName(), name);
  }

  std::size_t events = 0, eventBytes = 0;
  SoftAle::EventSink sink;
  if (state.range(1) != 0) {
    sink = [&](const SoftAle::Event& event) {
      const auto json = Runner::eventJson(event);
      eventBytes += json.dump().size() + Runner::eventMessage(json).size();
      ++events;
    };
  }
  std::vector<std::vector<double>> sent(n);
  for (auto& times : sent) times.reserve(std::size_t(seconds / interval * 1.5));
  SoftAle::Layer layer(loop, db, [&](Lumen::IntfId intf, std::span<const std::uint8_t>, const Interface::TxTiming&) {
    sent[std::size_t(std::stoul(intf.stringValue().substr(8)) - 1)].push_back(monotonicNow());
    return true;
  }, sink);
  // Each remote MEP speaks once, from the frame its local MEP would send with id 2.
  std::vector<double> spoke(n), failed(n, 0);
  for (std::size_t i = 0; i < n; ++i) {
    SoftAle::CcmTemplate remote(SoftAle::CcmSender{Lumen::EthAddr(2, 0, 0, 0, 1, 2), Cfm::MdLevel(5), Cfm::MepId(2),
                                                   maids[i], Cfm::ccmTxIntervals[0], {}, SoftAle::portStatusUp,
                                                   SoftAle::interfaceStatusUp});
    spoke[i] = monotonicNow();
    layer.frameReceived(intfOf(i), remote.frame(1, false));
  }
  auto status = Kiln::ptrCast<Cfm::AleStatus>(db->entity("cfm/aleStatus"));
  for (auto _ : state) {
    const double end = monotonicNow() + seconds;
    while (monotonicNow() < end) {
      loop.runOnce(1);
      const double now = monotonicNow();
      for (std::size_t i = 0; i < n; ++i) {
        if (failed[i] != 0) continue;
        const auto mep = status->mdStatus(Cfm::MdLevel(5))
                             ->maStatus(Cfm::MaName("ma" + std::to_string(i)))
                             ->localMepStatus(Cfm::MepId(1));
        if (!mep->remoteMepStatus.empty() && mep->remoteMepStatus[0].state == Cfm::RemoteMepState::failed) {
          failed[i] = now;
        }
      }
    }
  }

  std::vector<double> gaps;
  for (const auto& times : sent) {
    for (std::size_t k = 1; k < times.size(); ++k) gaps.push_back(times[k] - times[k - 1]);
  }
  if (gaps.empty()) return state.SkipWithError("no CCM left twice");
  std::sort(gaps.begin(), gaps.end());
  double sum = 0;
  std::size_t within = 0;
  for (double g : gaps) {
    sum += g;
    within += std::fabs(g - interval) <= 0.1 * interval;
  }
  double worstFail = 0;
  for (std::size_t i = 0; i < n; ++i) {
    if (failed[i] == 0) return state.SkipWithError("a silent remote MEP was never declared failed");
    worstFail = std::max(worstFail, failed[i] - spoke[i]);
  }
  state.counters["ccms"] = double(gaps.size() + n);
  state.counters["gap_mean_ms"] = sum / double(gaps.size()) * 1e3;
  state.counters["gap_p99_ms"] = gaps[gaps.size() * 99 / 100] * 1e3;
  state.counters["gap_max_ms"] = gaps.back() * 1e3;
  state.counters["within_10pct"] = double(within) / double(gaps.size());
  state.counters["fail_worst_ms"] = worstFail * 1e3;
  state.counters["fail_bound_ms"] = (3.5 + 1) * interval * 1e3;
  state.counters["events"] = double(events);
  state.counters["event_bytes"] = double(eventBytes);
}
BENCHMARK(BM_CcmIntervals)->Args({100, 0})->Args({100, 1})->Args({1000, 0})->Iterations(1)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
