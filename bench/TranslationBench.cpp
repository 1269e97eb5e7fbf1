// The translation at scale: 8 domains x 512 associations x 4 local MEPs x 64 remote MEPs
// (1,048,576 remote MEP entries) written into the configuration entry by entry, as the
// state database delivers them, with the CfmSm tree translating each into the ALE
// configuration; then the interval of the one profile every association uses; then every
// domain deleted. And the cost of changing one remote MEP list, small and at full size,
// in time and in writes to the ALE configuration.
//
// Memory is the heap the process holds (operator new's usable bytes): `live` after a step
// and `peak` during it, both including the configuration itself; BM_ConfigAlone gives what
// the configuration holds without a translation.

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>

#include "CfmAgent/CfmSm.h"
#include "tests/support/AllocationCounter.h"

namespace {

using namespace CfmAgent;

struct Size {
  int domains, associations, localMeps, remoteMeps;
};
constexpr Size full{8, 512, 4, 64};
constexpr Size small{1, 1, 1, 64};

const Cfm::CfmProfileName profileName("every-association");

Cfm::MaName maKey(int a) { return Cfm::MaName("association-" + std::to_string(a)); }
// Local MEPs 1-4, remote MEPs 101-164 of each association.
Cfm::MepId localMep(int m) { return Cfm::MepId(std::uint16_t(m + 1)); }
Cfm::MepId remoteMep(int r) { return Cfm::MepId(std::uint16_t(r + 101)); }

void populate(Config& config, const Size& size) {
  config.cfmProfileIs(profileName)->ccmTxIntervalIs(Cfm::CcmTxInterval(1.0));
  for (int d = 0; d < size.domains; ++d) {
    auto md = config.mdConfigIs(Cfm::MdLevel(d));
    md->mdNameIs({Cfm::MdName("domain-" + std::to_string(d)), Cfm::mdNameFormatCharacterString});
    md->defaultMipIs(true);
    for (int a = 0; a < size.associations; ++a) {
      auto ma = md->maConfigIs(maKey(a));
      ma->maNameIs({maKey(a), Cfm::maNameFormatCharacterString});
      ma->primaryVlanIdIs(Lumen::VlanIdOrNone(std::uint16_t(a % 4094 + 1)));
      ma->cfmProfileNameIs(profileName);
      for (int m = 0; m < size.localMeps; ++m) {
        auto mep = ma->localMepConfigIs(localMep(m));
        mep->intfIdIs(Lumen::IntfId("Ethernet" + std::to_string((a * size.localMeps + m) % 48 + 1)));
        for (int r = 0; r < size.remoteMeps; ++r) mep->remoteMepConfigIs(remoteMep(r), true);
      }
    }
  }
}

std::size_t remoteEntries(const Cfm::AleConfig& ale) {
  std::size_t n = 0;
  for (const auto& [level, md] : ale.mdConfig()) {
    for (const auto& [key, ma] : md->maConfig()) {
      for (const auto& [id, mep] : ma->localMepConfig()) n += mep->remoteMepConfig().size();
    }
  }
  return n;
}

class Translation {
 public:
  Translation() { cfmSm_ = cfmSmFactory(config_, ale_, Kiln::make<Cfm::AleStatus>(), Kiln::make<Status>()); }
  ~Translation() { cfmSm_->prepareToDie(); }
  Config& config() { return *config_; }
  const Cfm::AleConfig& ale() const { return *ale_; }

 private:
  Kiln::Ptr<Config> config_ = Kiln::make<Config>();
  Kiln::Ptr<Cfm::AleConfig> ale_ = Kiln::make<Cfm::AleConfig>();
  Kiln::Ptr<CfmSm> cfmSm_;
};

// Runs `step` once, reporting its seconds, the ALE writes it made, and the heap held after
// it and at its peak, in MiB.
template <class Step>
void measure(benchmark::State& state, const char* name, const Cfm::AleConfig& ale, Step&& step) {
  const auto writes = ale.writes();
  testPeakBytes = testLiveBytes;
  const auto start = std::chrono::steady_clock::now();
  step();
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  const std::string n = name;
  state.counters[n + "_s"] = took.count();
  state.counters[n + "_writes"] = double(ale.writes() - writes);
  state.counters[n + "_live_MiB"] = double(testLiveBytes) / (1 << 20);
  state.counters[n + "_peak_MiB"] = double(testPeakBytes) / (1 << 20);
}

void BM_TranslationFullScale(benchmark::State& state) {
  for (auto _ : state) {
    Translation t;
    measure(state, "1apply", t.ale(), [&] { populate(t.config(), full); });
    if (remoteEntries(t.ale()) != std::size_t(1) << 20) state.SkipWithError("not every remote MEP translated");
    measure(state, "2interval", t.ale(),
            [&] { t.config().cfmProfile(profileName)->ccmTxIntervalIs(Cfm::CcmTxInterval(0.01)); });
    const auto ma = t.ale().mdConfig(Cfm::MdLevel(7))->maConfig(maKey(511));
    if (ma->ccmTxInterval() != Cfm::CcmTxInterval(0.01)) state.SkipWithError("the interval did not reach the ALE");
    measure(state, "3delete", t.ale(), [&] {
      for (int d = 0; d < full.domains; ++d) t.config().mdConfigDel(Cfm::MdLevel(d));
      t.config().cfmProfileDel(profileName);
    });
    if (!t.ale().mdConfig().empty()) state.SkipWithError("the ALE configuration was not emptied");
  }
}
BENCHMARK(BM_TranslationFullScale)->Iterations(1)->Unit(benchmark::kMillisecond);

// The same configuration with nothing translating it: what of the memory above is the
// configuration's own.
void BM_ConfigAlone(benchmark::State& state) {
  for (auto _ : state) {
    auto config = Kiln::make<Config>();
    const auto before = testLiveBytes;
    populate(*config, full);
    state.counters["live_MiB"] = double(testLiveBytes - before) / (1 << 20);
  }
}
BENCHMARK(BM_ConfigAlone)->Iterations(1)->Unit(benchmark::kMillisecond);

// One association's remote MEP list changed: a remote MEP added, then removed again, with
// 64 others listed. Arg 0: nothing else configured; 1: the full configuration around it.
void BM_ChangeOneRemoteMepList(benchmark::State& state) {
  const Size& size = state.range(0) ? full : small;
  Translation t;
  populate(t.config(), size);
  auto mep = t.config().mdConfig(Cfm::MdLevel(0))->maConfig(maKey(0))->localMepConfig(localMep(0));
  const auto aleMep = t.ale().mdConfig(Cfm::MdLevel(0))->maConfig(maKey(0))->localMepConfig(localMep(0));
  const Cfm::MepId extra(8000);
  const auto writes = t.ale().writes();
  for (auto _ : state) {
    mep->remoteMepConfigIs(extra, true);
    if (!aleMep->remoteMepConfig(extra)) state.SkipWithError("the remote MEP did not reach the ALE");
    mep->remoteMepConfigDel(extra);
  }
  state.counters["writes/change"] =
      benchmark::Counter(double(t.ale().writes() - writes) / 2, benchmark::Counter::kAvgIterations);
  state.counters["remote_entries"] = double(remoteEntries(t.ale()));
  state.SetItemsProcessed(state.iterations() * 2);
}
BENCHMARK(BM_ChangeOneRemoteMepList)->Arg(0)->Arg(1);

}  // namespace

BENCHMARK_MAIN();
