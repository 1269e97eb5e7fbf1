// Per-frame cost of the receive path: the bookkeeping alone (a record for a received frame,
// its provisional and final `in` counts, its release), a whole classification of a tagged
// CCM up to its hand-off, and the same with an engine that walks the CCM's TLVs. Reports
// frames per second and heap allocations per frame (counted by the replaced global
// operator new).

#include <benchmark/benchmark.h>

#include <optional>
#include <string>

#include "CfmAgent/PamSm.h"
#include "CfmAgent/PktHelper.h"
#include "tests/support/AllocationCounter.h"

namespace {

void BM_ReceivedFrameRecord(benchmark::State& state) {
  const Lumen::IntfId intf("Ethernet1");
  auto counters = CfmAgent::counterHelperFactory(Kiln::make<CfmAgent::Counter>());
  CfmAgent::PktHelper helper(nullptr, counters);
  // A CCM at MD level 5 behind its Ethernet header.
  std::string frame(14, '\x02');
  frame += std::string("\xa0\x01\x00\x46", 4) + std::string(74, '\0');
  auto pkt = Lumen::pktManager().newPkt();
  pkt->stringValueIs(frame, false);

  auto once = [&] {
    auto record = helper.newPktMetaData(pkt, intf, true);
    record->cfmHdrIs(Lumen::overlayAt<CfmAgent::CFMCommonHeader>(pkt->frontSpan(), 14));
    record->opCodeIs(Cfm::opCodeCcm);
    record->incrPktCounter(CfmAgent::CounterId::in_);
    benchmark::DoNotOptimize(record.get());
  };
  once();  // the counter tree's buckets exist from here on, as on a running switch

  const std::uint64_t before = testAllocations;
  for (auto _ : state) once();
  state.counters["allocs/frame"] =
      benchmark::Counter(double(testAllocations - before), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReceivedFrameRecord);

// Stands in for an engine: looks up TLVs of every CCM handed over, as the continuity check
// does, so that the walk and the record's TLV index run once per frame.
struct TlvReader : CfmAgent::ProtocolPkt::NotifieeConst {
  using NotifieeConst::NotifieeConst;
  void onReadableCount() override {
    using namespace CfmAgent;
    if (const auto& r = notifier()->pktMetaData()) {
      found = !!r->tlv(tlvTypeInterfaceStatus) + !r->tlv(tlvTypeSenderId) + !!r->tlv(tlvTypePortStatus);
    }
  }
  int found = 0;  // of the three answers, how many were right
};

// With `readTlvs`, the CCM carries Port Status, Interface Status and End TLVs and an engine
// reads them.
void processPkt(benchmark::State& state, bool readTlvs) {
  const Lumen::IntfId intf("Ethernet1");
  auto config = Kiln::make<CfmAgent::Config>();
  config->mdConfigIs(Cfm::MdLevel(5))->defaultMipIs(true);
  auto brConfig = Kiln::make<Bridging::Config>();
  auto port = brConfig->switchIntfConfigIs(intf);
  port->modeIs(Bridging::switchIntfModeTrunk);
  port->portVlanIs(Lumen::VlanIdOrNone(1));
  auto pams = Kiln::make<Interface::EthDevPamCollection>("edpc");
  auto helper = Kiln::make<CfmAgent::PktHelper>(
      pams, CfmAgent::counterHelperFactory(Kiln::make<CfmAgent::Counter>()));
  auto slots = Kiln::make<CfmAgent::ProtocolPktCollection>();
  auto pamSm = CfmAgent::pamSmFactory(pams, slots, helper, config, brConfig);
  auto pamIntfSm = CfmAgent::pamIntfSmFactory(intf, nullptr, pamSm.get());

  // A CCM at MD level 5 on VLAN 100, to the level's group address.
  std::string frame("\x01\x80\xc2\x00\x00\x35\x02\x00\x00\x00\x00\x01\x81\x00\x00\x64\x89\x02", 18);
  frame += std::string("\xa0\x01\x00\x46", 4) + std::string(70, '\0');
  if (readTlvs) frame += std::string("\x02\x00\x01\x02" "\x04\x00\x01\x01", 8);
  frame += std::string(1, '\0');
  auto pkt = Lumen::pktManager().newPkt();
  pkt->stringValueIs(frame, false);
  const auto slot = slots->protocolPktIs(Cfm::protocolContinuityCheck);
  std::optional<TlvReader> engine;
  if (readTlvs) engine.emplace(slot);
  pamIntfSm->processPkt(pkt);
  if (slot->readableCount() != 1 || (engine && engine->found != 3)) {
    state.SkipWithError("the frame was not handed over, or its TLVs not found");
    return;
  }

  const std::uint64_t before = testAllocations;
  for (auto _ : state) pamIntfSm->processPkt(pkt);
  state.counters["allocs/frame"] =
      benchmark::Counter(double(testAllocations - before), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations());
  engine.reset();
  pamSm->prepareToDie();
}
void BM_ProcessPkt(benchmark::State& state) { processPkt(state, false); }
BENCHMARK(BM_ProcessPkt);
void BM_ProcessPktReadingTlvs(benchmark::State& state) { processPkt(state, true); }
BENCHMARK(BM_ProcessPktReadingTlvs);

}  // namespace

BENCHMARK_MAIN();
