// Per-frame cost of answering a loopback message: an LBM to the bridge MAC filled into a
// pooled buffer as a device delivers it, classified by the receive path, turned into the LBR
// by the LoopbackSm and sent through the interface's packet-access socket. The socket is a
// real EthDevPam whose device throws frames away, keeping only the last one and a count, so
// that the wire costs nothing and allocates nothing. Reports replies per second and heap
// allocations per frame.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "CfmAgent/LoopbackSm.h"
#include "CfmAgent/PamSm.h"
#include "CfmAgent/PktHelper.h"
#include "bench/DiscardDevice.h"
#include "tests/support/AllocationCounter.h"

namespace {

// The frame lbmflood sends: untagged, 60 bytes, the End TLV after the transaction id.
std::string loopbackFrame(const std::string& dst, const std::string& src, char opCode) {
  std::string frame = dst + src + std::string("\x89\x02", 2);
  frame += std::string{char(3 << 5), opCode, 0, 4} + std::string("\x00\x00\x12\x34", 4);
  frame.resize(60, '\0');
  return frame;
}

void BM_LbmToLbr(benchmark::State& state) {
  const Lumen::IntfId intf("Ethernet1");
  const std::string bridgeMac("\x02\x00\x00\x00\x00\x01", 6), hostMac("\x02\x00\x00\x00\x00\x0a", 6);
  auto config = Kiln::make<CfmAgent::Config>();
  config->mdConfigIs(Cfm::MdLevel(3))->defaultMipIs(true);
  auto brConfig = Kiln::make<Bridging::Config>();
  brConfig->bridgeMacAddrIs(Lumen::EthAddr(2, 0, 0, 0, 0, 1));
  auto port = brConfig->switchIntfConfigIs(intf);
  port->modeIs(Bridging::switchIntfModeAccess);
  port->portVlanIs(Lumen::VlanIdOrNone(10));

  auto pam = Kiln::make<Interface::EthDevPam>(intf);
  auto owned = std::make_unique<DiscardDevice>();
  DiscardDevice& wire = *owned;
  pam->deviceIs(std::move(owned));
  auto pams = Kiln::make<Interface::EthDevPamCollection>("edpc");
  pams->intfPamIs(intf, pam);

  auto helper = Kiln::make<CfmAgent::PktHelper>(
      pams, CfmAgent::counterHelperFactory(Kiln::make<CfmAgent::Counter>()));
  auto slots = Kiln::make<CfmAgent::ProtocolPktCollection>();
  auto pamSm = CfmAgent::pamSmFactory(pams, slots, helper, config, brConfig);
  auto pamIntfSm = CfmAgent::pamIntfSmFactory(intf, pam, pamSm.get());
  auto loopbackSm =
      CfmAgent::loopbackSmFactory(slots->protocolPktIs(Cfm::protocolLoopback), helper, brConfig);

  const std::string lbm = loopbackFrame(bridgeMac, hostMac, 3);
  const std::span<const std::uint8_t> lbmBytes(reinterpret_cast<const std::uint8_t*>(lbm.data()),
                                               lbm.size());
  // The LBM is answered in place, so every frame needs a fresh copy, as from the wire.
  auto once = [&] {
    auto pkt = Lumen::pktManager().newPkt();
    pkt->bytesIs(lbmBytes, false);
    pamIntfSm->processPkt(pkt);
  };
  // The first frame also builds the counter tree's buckets, as on a running switch.
  once();
  if (wire.sent != 1 || wire.lastFrame() != loopbackFrame(hostMac, bridgeMac, 2)) {
    state.SkipWithError("the LBM did not come back as exactly one LBR with the expected bytes");
    return;
  }

  const std::uint64_t before = testAllocations;
  for (auto _ : state) once();
  state.counters["allocs/frame"] =
      benchmark::Counter(double(testAllocations - before), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations());
  if (wire.sent != 1 + std::uint64_t(state.iterations())) state.SkipWithError("an LBM went unanswered");

  loopbackSm->prepareToDie();
  pamSm->prepareToDie();
}
BENCHMARK(BM_LbmToLbr);

// The same reply with traffic spread over N interfaces, each an access port in VLAN 10 with a
// socket of its own: frames go round the interfaces one after another and reach the agent as
// a kernel socket's batch does (queued, then offered at once, one notification per frame).
// The cost per frame must not grow with the number of interfaces.
void BM_LbmToLbrInterfaces(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const std::string bridgeMac("\x02\x00\x00\x00\x00\x01", 6), hostMac("\x02\x00\x00\x00\x00\x0a", 6);
  auto config = Kiln::make<CfmAgent::Config>();
  config->mdConfigIs(Cfm::MdLevel(3))->defaultMipIs(true);
  auto brConfig = Kiln::make<Bridging::Config>();
  brConfig->bridgeMacAddrIs(Lumen::EthAddr(2, 0, 0, 0, 0, 1));
  auto pams = Kiln::make<Interface::EthDevPamCollection>("edpc");
  std::vector<Kiln::Ptr<Interface::EthDevPam>> sockets;
  std::vector<DiscardDevice*> wires;
  for (std::size_t i = 1; i <= n; ++i) {
    const Lumen::IntfId intf("Ethernet" + std::to_string(i));
    auto port = brConfig->switchIntfConfigIs(intf);
    port->modeIs(Bridging::switchIntfModeAccess);
    port->portVlanIs(Lumen::VlanIdOrNone(10));
    auto pam = Kiln::make<Interface::EthDevPam>(intf);
    pam->rxQueueLimitIs(56);
    auto owned = std::make_unique<DiscardDevice>();
    wires.push_back(owned.get());
    pam->deviceIs(std::move(owned));
    pams->intfPamIs(intf, pam);
    sockets.push_back(pam);
  }
  auto helper = Kiln::make<CfmAgent::PktHelper>(
      pams, CfmAgent::counterHelperFactory(Kiln::make<CfmAgent::Counter>()));
  auto slots = Kiln::make<CfmAgent::ProtocolPktCollection>();
  auto loopbackSm =
      CfmAgent::loopbackSmFactory(slots->protocolPktIs(Cfm::protocolLoopback), helper, brConfig);
  // Built last, as the agent does: it takes the sockets already in the collection.
  auto pamSm = CfmAgent::pamSmFactory(pams, slots, helper, config, brConfig);

  const std::string lbm = loopbackFrame(bridgeMac, hostMac, 3);
  const std::span<const std::uint8_t> lbmBytes(reinterpret_cast<const std::uint8_t*>(lbm.data()),
                                               lbm.size());
  std::size_t next = 0;
  auto once = [&] {
    Interface::EthDevPam& pam = *sockets[next];
    pam.rxFrame(lbmBytes, false);
    pam.offerReadable();
    if (++next == n) next = 0;
  };
  // One round first: every interface's counters exist, as on a running switch.
  for (std::size_t i = 0; i < n; ++i) once();
  for (const DiscardDevice* wire : wires) {
    if (wire->sent != 1 || wire->lastFrame() != loopbackFrame(hostMac, bridgeMac, 2)) {
      state.SkipWithError("an interface did not answer its LBM with exactly one LBR");
      return;
    }
  }

  const std::uint64_t before = testAllocations;
  for (auto _ : state) once();
  state.counters["allocs/frame"] =
      benchmark::Counter(double(testAllocations - before), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations());
  std::uint64_t sent = 0;
  for (const DiscardDevice* wire : wires) sent += wire->sent;
  if (sent != n + std::uint64_t(state.iterations())) state.SkipWithError("an LBM went unanswered");

  loopbackSm->prepareToDie();
  pamSm->prepareToDie();
}
BENCHMARK(BM_LbmToLbrInterfaces)->Arg(1)->Arg(64)->Arg(512);

}  // namespace

BENCHMARK_MAIN();
