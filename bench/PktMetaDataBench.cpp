// Per-frame cost of the receive path's bookkeeping: a record for a received frame, its
// provisional and final `in` counts, and its release. Reports frames per second and heap
// allocations per frame (counted by the replaced global operator new below).

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <new>
#include <string>

#include "CfmAgent/PktHelper.h"

namespace {
std::uint64_t allocations = 0;
}

// The replacement pairs malloc with free by design; GCC sees the inlined pair as a
// mismatch of new and free.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  ++allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

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
    record->cfmHdrIs(reinterpret_cast<CfmAgent::CFMCommonHeader*>(record->pktFront() + 14));
    record->opCodeIs(Cfm::opCodeCcm);
    record->incrPktCounter(CfmAgent::CounterId::in_);
    benchmark::DoNotOptimize(record.get());
  };
  once();  // the counter tree's buckets exist from here on, as on a running switch

  const std::uint64_t before = allocations;
  for (auto _ : state) once();
  state.counters["allocs/frame"] =
      benchmark::Counter(double(allocations - before), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ReceivedFrameRecord);

}  // namespace

BENCHMARK_MAIN();
