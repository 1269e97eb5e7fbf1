// Per-CCM cost of the receive path into both CCM databases: PamIntfSm::processPkt, the
// CCM slot and the ContinuityCheckSm. One frame buffer is rewritten before each CCM rather
// than one kept per sender: 65,504 pooled 2 KiB buffers would measure cache misses on
// frame bytes, not on the databases.

#include <benchmark/benchmark.h>

#include <time.h>

#include <algorithm>
#include <new>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "CfmAgent/ContinuityCheckPdu.h"
#include "CfmAgent/ContinuityCheckSm.h"
#include "CfmAgent/CounterHelper.h"
#include "CfmAgent/PamSm.h"
#include "platform/types/CfmStatus.h"
#include "tests/support/AllocationCounter.h"

namespace {

using namespace CfmAgent;

constexpr std::uint8_t level = 5;
constexpr std::uint16_t macsPerVlan = 16;
constexpr std::size_t tagAt = sizeof(Lumen::EthHdr);
constexpr std::size_t ccmAt = tagAt + sizeof(Lumen::Eth8021QHdr);
// Longer than a std::string keeps inline: a name copied into one per CCM would allocate.
const Cfm::MaName maName("customer-42-east-ring");

// A trunk port (port VLAN 1, tags taken as their VLAN) with a default MIP at level 5 and
// the continuity check machine on the CCM slot. The frame, a tagged CCM to the level's
// group address, is rewritten in place by senderIs and mepIdIs.
class ReceivePath {
 public:
  // Limits high enough for every scale benchmark; the flood past the limits sets its own.
  ReceivePath() {
    config_->mdConfigIs(Cfm::MdLevel(level))->defaultMipIs(true);
    limitsAre(Config::maxDbEntryLimit, Config::maxDbEntryLimit);
    auto port = brConfig_->switchIntfConfigIs(intf_);
    port->modeIs(Bridging::switchIntfModeTrunk);
    port->portVlanIs(Lumen::VlanIdOrNone(1));
    auto helper = Kiln::make<PktHelper>(Kiln::make<Interface::EthDevPamCollection>("edpc"),
                                        counterHelperFactory(status_->counterIs()));
    auto slots = Kiln::make<ProtocolPktCollection>();
    pamSm_ = pamSmFactory(helper->pamCollection(), slots, helper, config_, brConfig_);
    pamIntfSm_ = pamIntfSmFactory(intf_, nullptr, pamSm_.get());
    ccSm_ = continuityCheckSmFactory(slots->protocolPktIs(Cfm::protocolContinuityCheck), config_,
                                     status_->mipCcmDbIs(), status_->ccmDbIs(), helper);

    pkt_->stringValueIs(std::string(ccmAt + sizeof(CCMPdu) + 1, '\0'), false);  // End TLV
    eth()->dstIs(Lumen::EthAddr(0x01, 0x80, 0xc2, 0x00, 0x00, 0x30 + level));
    eth()->typeOrLenIs(Lumen::ethTypeDot1Q);
    tag()->typeOrLenIs(Lumen::ethTypeCfm);
    auto* ccm = new (ccmPdu()) CCMPdu(level, Cfm::opCodeCcm);
    ccm->ccmIntervalFieldIs(4);  // one second
    ccm->maIdIs({Cfm::MdName("example-domain"), Cfm::mdNameFormatCharacterString},
                {maName, Cfm::maNameFormatCharacterString});
    senderIs(100, 0);
  }
  ~ReceivePath() {
    ccSm_->prepareToDie();
    pamSm_->prepareToDie();
  }

  // Sender k is MEP k + 1 with an address of its own.
  void senderIs(std::uint16_t vlan, std::uint16_t k) {
    tag()->tagControl().vlanIdIs(vlan);
    eth()->srcIs(Lumen::EthAddr(0x02, 0x1c, 0x73, 0x00, std::uint8_t(k >> 8), std::uint8_t(k)));
    mepIdIs(std::uint16_t(k + 1));
  }
  void mepIdIs(std::uint16_t mepId) { ccmPdu()->mepIdIs(mepId); }
  // Any of 2^24 source addresses, the MEP left as it is.
  void srcMacIs(std::uint32_t n) {
    eth()->srcIs(Lumen::EthAddr(0x02, 0x1c, 0x74, std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)));
  }
  void limitsAre(std::uint32_t ccmDbEntries, std::uint32_t mipCcmDbEntries) {
    config_->ccmDbEntryLimitIs(ccmDbEntries);
    config_->mipCcmDbEntryLimitIs(mipCcmDbEntries);
  }
  std::uint64_t counted(CounterId id) const {
    return status_->counter()->intfCounter(intf_)->mdCounter(Cfm::MdLevel(level))->opCodeCounter(Cfm::opCodeCcm)->counter(id);
  }
  // No MD name, so that the MA name may take all 45 bytes of the MAID.
  void maNameIs(const Cfm::MaName& name) {
    ccmPdu()->maIdIs({}, {name, Cfm::maNameFormatCharacterString});
  }
  void receive() { pamIntfSm_->processPkt(pkt_); }
  const Kiln::Ptr<MipCcmDb>& mipCcmDb() const { return ccSm_->mipCcmDb(); }
  const Kiln::Ptr<CcmDb>& ccmDb() const { return ccSm_->ccmDb(); }
  Kiln::Ptr<CcmMepInfo> mep(std::uint16_t mepId) const {
    return ccmDb()->ccmMd(Cfm::MdLevel(level))->ccmMa(maName)->ccmMepInfo(Cfm::MepId(mepId));
  }

  // False, with the benchmark skipped, unless the databases hold `mas` associations with
  // `meps` MEPs in all and `mipEntries` MIP CCM entries: a dropped frame would be measured
  // as a cheap one.
  bool learnt(benchmark::State& state, std::size_t mas, std::size_t meps, std::size_t mipEntries) const {
    std::size_t entriesFound = 0, mepsFound = 0;
    for (const auto& [vlan, entries] : mipCcmDb()->vlan()) entriesFound += entries->entry().size();
    const auto md = ccmDb()->ccmMd(Cfm::MdLevel(level));
    if (md) for (const auto& [name, ma] : md->ccmMa()) mepsFound += ma->ccmMepInfo().size();
    if ((md ? md->ccmMa().size() : 0) == mas && mepsFound == meps && entriesFound == mipEntries) return true;
    state.SkipWithError("the databases do not hold the senders sent");
    return false;
  }

 private:
  Lumen::EthHdr* eth() const { return Lumen::overlayAt<Lumen::EthHdr>(pkt_->frontSpan(), 0); }
  Lumen::Eth8021QHdr* tag() const {
    return Lumen::overlayAt<Lumen::Eth8021QHdr>(pkt_->frontSpan(), tagAt);
  }
  CCMPdu* ccmPdu() const { return Lumen::overlayAt<CCMPdu>(pkt_->frontSpan(), ccmAt); }

  const Lumen::IntfId intf_{"Ethernet1"};
  Kiln::Ptr<Config> config_ = Kiln::make<Config>();
  Kiln::Ptr<Bridging::Config> brConfig_ = Kiln::make<Bridging::Config>();
  Kiln::Ptr<Status> status_ = Kiln::make<Status>();
  Kiln::Ptr<PamSm> pamSm_;
  Kiln::Ptr<PamIntfSm> pamIntfSm_;
  Kiln::Ptr<ContinuityCheckSm> ccSm_;
  Kiln::Ptr<Lumen::Pkt> pkt_ = Lumen::pktManager().newPkt();
};

double threadCpuNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e9 + double(t.tv_nsec);
}

void report(benchmark::State& state, std::size_t allocsBefore) {
  state.counters["allocs/frame"] = benchmark::Counter(double(testAllocations - allocsBefore),
                                                      benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations());
}

// Learns senders 0..n-1 (`as(e)` rewrites the frame as sender e) in ascending order,
// reporting the heap bytes that keeps per sender as `bytesCounter`, then times their CCMs
// in a fixed shuffle. Learnt in order, the entries lie in memory in key order; shuffled,
// consecutive CCMs touch unrelated cache lines, as CCMs from many senders interleave on a
// switch, and the prefetcher cannot help.
template <class As>
void learnThenTime(benchmark::State& state, ReceivePath& path, std::uint32_t n, As&& as,
                   const char* bytesCounter) {
  const double liveBefore = double(testLiveBytes);
  const double learnStart = threadCpuNs();
  for (std::uint32_t e = 0; e < n; ++e) {
    as(e);
    path.receive();
  }
  // CPU time of learning: the rate at which a flood of new senders grows the databases.
  state.counters["learn-ns/entry"] = (threadCpuNs() - learnStart) / n;
  state.counters[bytesCounter] = (double(testLiveBytes) - liveBefore) / n;
  std::vector<std::uint32_t> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin(), order.end(), std::mt19937(20240611));
  std::size_t i = 0;
  const std::size_t before = testAllocations;
  for (auto _ : state) {
    as(order[i]);
    path.receive();
    if (++i == n) i = 0;
  }
  report(state, before);
}

// The steady state: a MEP both databases know.
void BM_CcmKnownMep(benchmark::State& state) {
  ReceivePath path;
  path.receive();
  const double learntAt = path.mep(1)->lastCcmReceivedTime();
  const std::size_t before = testAllocations;
  for (auto _ : state) path.receive();
  report(state, before);
  if (path.learnt(state, 1, 1, 1) && !(path.mep(1)->lastCcmReceivedTime() > learntAt)) {
    state.SkipWithError("the MEP's receive time did not move");
  }
}
BENCHMARK(BM_CcmKnownMep);

// A MEP id not heard before, from an address the MIP CCM database knows. When ids 1-8191
// run out the CCM database is emptied outside the timed region: a CCM adds a MEP to an
// association of 0-8190 (and every 8191st also makes the MD and MA entries again).
void BM_CcmNewMep(benchmark::State& state) {
  ReceivePath path;
  path.receive();  // the counters, the pools and the MIP entry are there from here on
  path.ccmDb()->ccmMdDelAll();
  std::uint16_t mepId = 1;
  const std::size_t before = testAllocations;
  for (auto _ : state) {
    if (mepId > CCMPdu::mepIdMax) {
      state.PauseTiming();
      path.ccmDb()->ccmMdDelAll();
      mepId = 1;
      state.ResumeTiming();
    }
    path.mepIdIs(mepId++);
    path.receive();
  }
  report(state, before);
  path.learnt(state, 1, mepId - 1u, 1);
}
BENCHMARK(BM_CcmNewMep);

// 8,191 MEPs of one association learnt into an empty CCM database, then heard in turn.
void BM_CcmScaleMeps(benchmark::State& state) {
  ReceivePath path;
  path.receive();  // the counters, the pools and the MIP entry are there from here on
  path.ccmDb()->ccmMdDelAll();
  learnThenTime(
      state, path, CCMPdu::mepIdMax, [&](std::uint32_t e) { path.mepIdIs(std::uint16_t(e + 1)); },
      "bytes/mep");
  path.learnt(state, 1, CCMPdu::mepIdMax, 1);
}
BENCHMARK(BM_CcmScaleMeps);

// 16 senders on each of VLANs 1-4094 learnt into an empty MIP CCM database, then heard in
// turn. The 16 MEPs stay in the CCM database throughout: its part is that of known MEPs.
void BM_CcmScaleMipDb(benchmark::State& state) {
  constexpr std::uint32_t entries = std::uint32_t(Lumen::VlanId::max) * macsPerVlan;
  const auto as = [](ReceivePath& path, std::uint32_t e) {
    path.senderIs(std::uint16_t(e / macsPerVlan + 1), std::uint16_t(e % macsPerVlan));
  };
  ReceivePath path;
  for (std::uint32_t e = 0; e < macsPerVlan; ++e) {
    as(path, e);
    path.receive();
  }
  path.mipCcmDb()->vlanDelAll();
  learnThenTime(
      state, path, entries, [&](std::uint32_t e) { as(path, e); }, "bytes/mip-entry");
  path.learnt(state, 1, macsPerVlan, entries);
}
BENCHMARK(BM_CcmScaleMipDb);

// A flood that makes every entry it can: each CCM from a new source address with a new
// 45-byte MA name, so that it adds one MIP CCM entry, one association and one MEP. The
// figure is what an attacker gets per CCM; `bytes/ccm` is the sum of all three.
void BM_CcmScaleMaNames(benchmark::State& state) {
  constexpr std::uint32_t names = std::uint32_t(Lumen::VlanId::max) * macsPerVlan;
  const auto as = [](ReceivePath& path, std::uint32_t e) {
    std::string name(45, 'a');
    for (int i = 0; i < 8; ++i) name[std::size_t(i)] = char('a' + (e >> (4 * i) & 15));
    path.senderIs(std::uint16_t(e / macsPerVlan + 1), std::uint16_t(e % macsPerVlan));
    path.mepIdIs(1);
    path.maNameIs(Cfm::MaName(name));
  };
  ReceivePath path;
  path.receive();
  path.ccmDb()->ccmMdDelAll();
  path.mipCcmDb()->vlanDelAll();
  learnThenTime(
      state, path, names, [&](std::uint32_t e) { as(path, e); }, "bytes/ccm");
  path.learnt(state, names, names, names);
}
BENCHMARK(BM_CcmScaleMaNames);

// A 45-byte MA name of its own for each n, no MD name.
Cfm::MaName floodName(std::uint32_t n) {
  std::string name(45, 'a');
  for (int i = 0; i < 8; ++i) name[std::size_t(i)] = char('a' + (n >> (4 * i) & 15));
  return Cfm::MaName(name);
}

// A flood past both limits at their defaults, in the layout that costs each database most:
// a new 45-byte MA name for every MEP, every new address in one VLAN. Reports what each full
// database holds per entry and in all (heap bytes, as `bytes/...` above), then times CCMs
// that would each add a MEP, an association and an address, all refused: they must allocate
// nothing and leave both databases as they are.
void BM_CcmFloodPastLimits(benchmark::State& state) {
  constexpr std::uint32_t ccmLimit = Config::defaultCcmDbEntryLimit;
  constexpr std::uint32_t mipLimit = Config::defaultMipCcmDbEntryLimit;
  constexpr std::uint32_t past = 1000;
  ReceivePath path;
  path.receive();
  path.ccmDb()->ccmMdDelAll();
  path.mipCcmDb()->vlanDelAll();
  path.limitsAre(ccmLimit, mipLimit);

  // The CCM database alone: one known address, a new association per CCM.
  path.senderIs(100, 0);
  path.mepIdIs(1);
  path.receive();  // the address's MIP CCM entry, out of the count below
  path.ccmDb()->ccmMdDelAll();
  double before = double(testLiveBytes);
  for (std::uint32_t n = 0; n < ccmLimit + past; ++n) {
    path.maNameIs(floodName(n));
    path.receive();
  }
  const double ccmBytes = double(testLiveBytes) - before;

  // The MIP CCM database alone: a known MEP of a known association, a new address per CCM.
  path.maNameIs(floodName(0));
  path.mipCcmDb()->vlanDelAll();
  before = double(testLiveBytes);
  for (std::uint32_t n = 0; n < mipLimit + past; ++n) {
    path.srcMacIs(n);
    path.receive();
  }
  const double mipBytes = double(testLiveBytes) - before;
  if (path.ccmDb()->entryCount() != ccmLimit || path.mipCcmDb()->entryCount() != mipLimit ||
      path.counted(CounterId::debugCcmDbFull_) != past || path.counted(CounterId::debugMipCcmDbFull_) != past) {
    return state.SkipWithError("the flood did not fill both databases to their limits");
  }
  state.counters["bytes/ccm-db-entry"] = ccmBytes / ccmLimit;
  state.counters["bytes/mip-db-entry"] = mipBytes / mipLimit;
  state.counters["MB-both-full"] = (ccmBytes + mipBytes) / 1e6;

  std::uint32_t n = mipLimit + past;
  const std::uint64_t refusedBefore = path.counted(CounterId::debugCcmDbFull_);
  const Cfm::MaName name = floodName(n);  // made once: the frame's new names need no new string
  path.maNameIs(name);
  const std::size_t allocsBefore = testAllocations;
  for (auto _ : state) {
    path.srcMacIs(++n);
    path.mepIdIs(std::uint16_t(n % CCMPdu::mepIdMax + 1));
    path.receive();
  }
  report(state, allocsBefore);
  if (path.ccmDb()->entryCount() != ccmLimit || path.mipCcmDb()->entryCount() != mipLimit ||
      path.counted(CounterId::debugCcmDbFull_) - refusedBefore != std::uint64_t(state.iterations())) {
    state.SkipWithError("a CCM past the limits was learnt");
  }
}
BENCHMARK(BM_CcmFloodPastLimits);

}  // namespace

BENCHMARK_MAIN();
