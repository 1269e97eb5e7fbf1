// Per-frame cost of relaying a linktrace message: an LTM from host A for host B, filled into
// a pooled buffer as a device delivers it, classified by the receive path, relayed by the
// LinktraceSm through the filtering database out of the other port (a new packet, built back
// to front) and answered with an LTR (another new packet). Both sockets are real EthDevPams
// whose devices throw frames away, keeping the last one and a count. Reports LTMs per second
// and heap allocations per LTM.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "CfmAgent/LinktraceSm.h"
#include "CfmAgent/PamSm.h"
#include "CfmAgent/PktHelper.h"
#include "bench/DiscardDevice.h"
#include "tests/support/AllocationCounter.h"

namespace {

const std::string bridgeMac("\x02\x00\x00\x00\x00\x01", 6), hostA("\x02\x00\x00\x00\x00\x0a", 6),
    hostB("\x02\x00\x00\x00\x00\x0b", 6), ltmGroup("\x01\x80\xc2\x00\x00\x3b", 6), cfm("\x89\x02", 2);
const std::string end(1, '\0');

// cfmtool's LTM: level 3, TTL `ttl`, host A's egress identifier, the End TLV.
std::string ltm(const std::string& src, int ttl, const std::string& egressId) {
  return ltmGroup + src + cfm + std::string{char(3 << 5), 5, 0, 17} + std::string("\x01\x02\x03\x04", 4) +
         char(ttl) + hostA + hostB + std::string("\x07\x00\x08", 3) + egressId + end;
}

void BM_LtmRelayedAndAnswered(benchmark::State& state) {
  const Lumen::IntfId in("Ethernet1"), out("Ethernet2");
  auto config = Kiln::make<CfmAgent::Config>();
  config->mdConfigIs(Cfm::MdLevel(3))->defaultMipIs(true);
  auto brConfig = Kiln::make<Bridging::Config>();
  brConfig->bridgeMacAddrIs(Lumen::EthAddr(2, 0, 0, 0, 0, 1));
  auto brStatus = Kiln::make<Bridging::Status>();
  brStatus->vlanStatusIs(Lumen::VlanId(10))->learnedHostIs(Lumen::EthAddr(2, 0, 0, 0, 0, 0x0b), {out});
  auto pams = Kiln::make<Interface::EthDevPamCollection>("edpc");
  DiscardDevice* wires[2];
  Kiln::Ptr<Interface::EthDevPam> inPam;
  for (int i = 0; i < 2; ++i) {
    const Lumen::IntfId intf = i == 0 ? in : out;
    auto port = brConfig->switchIntfConfigIs(intf);
    port->modeIs(Bridging::switchIntfModeAccess);
    port->portVlanIs(Lumen::VlanIdOrNone(10));
    auto pam = Kiln::make<Interface::EthDevPam>(intf);
    auto device = std::make_unique<DiscardDevice>();
    wires[i] = device.get();
    pam->deviceIs(std::move(device));
    pams->intfPamIs(intf, pam);
    if (i == 0) inPam = pam;
  }

  auto helper = Kiln::make<CfmAgent::PktHelper>(
      pams, CfmAgent::counterHelperFactory(Kiln::make<CfmAgent::Counter>()));
  auto slots = Kiln::make<CfmAgent::ProtocolPktCollection>();
  auto pamSm = CfmAgent::pamSmFactory(pams, slots, helper, config, brConfig);
  auto pamIntfSm = CfmAgent::pamIntfSmFactory(in, inPam, pamSm.get());
  auto linktraceSm = CfmAgent::linktraceSmFactory(slots->protocolPktIs(Cfm::protocolLinktrace),
                                                  Kiln::make<CfmAgent::MipCcmDb>(), helper, brConfig, brStatus, pams);

  const std::string frame = ltm(hostA, 64, std::string("\x00\x00", 2) + hostA);
  const std::span<const std::uint8_t> bytes(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size());
  auto once = [&] {
    auto pkt = Lumen::pktManager().newPkt();
    pkt->bytesIs(bytes, false);
    pamIntfSm->processPkt(pkt);
  };
  // The first frame also builds the counter tree's buckets, as on a running switch.
  once();
  const std::string relayed = ltm(bridgeMac, 63, std::string("\x00\x00", 2) + bridgeMac);
  if (wires[0]->sent != 1 || wires[1]->sent != 1 || wires[1]->lastFrame() != relayed ||
      wires[0]->lastFrame().substr(0, 12) != hostA + bridgeMac) {
    state.SkipWithError("the LTM did not make one relayed LTM with the expected bytes and one LTR");
    return;
  }

  const std::uint64_t before = testAllocations;
  for (auto _ : state) once();
  state.counters["allocs/frame"] =
      benchmark::Counter(double(testAllocations - before), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations());
  const auto expected = 1 + std::uint64_t(state.iterations());
  if (wires[0]->sent != expected || wires[1]->sent != expected) state.SkipWithError("an LTM went unanswered");

  linktraceSm->prepareToDie();
  pamSm->prepareToDie();
}
BENCHMARK(BM_LtmRelayedAndAnswered);

}  // namespace

BENCHMARK_MAIN();
