// Per-frame cost of relaying a linktrace message: an LTM from host A for host B, filled into
// a pooled buffer as a device delivers it, classified by the receive path, relayed by the
// LinktraceSm through the filtering database out of the other port (a new packet, built back
// to front) and answered with an LTR (another new packet). Both sockets throw frames away
// (bench/BenchSwitch.h). Reports LTMs per second
// and heap allocations per LTM.

#include "CfmAgent/LinktraceSm.h"
#include "bench/BenchSwitch.h"

namespace {

using namespace TestSupport;

// cfmtool's LTM: level 3, TTL `ttl`, `src`'s egress identifier, the End TLV.
std::string ltmFrom(const std::string& src, int ttl) {
  return ethernet(ltmGroup(3), src, 0, ltm(ttl, hostB, tlv(7, u16(0) + src) + std::string(1, '\0')));
}

void BM_LtmRelayedAndAnswered(benchmark::State& state) {
  BenchSwitch sw(2);
  sw.brStatus->vlanStatusIs(Lumen::VlanId(10))->learnedHostIs(Lumen::EthAddr(2, 0, 0, 0, 0, 0x0b),
                                                              {sw.sockets[1]->intfId()});
  auto linktraceSm = CfmAgent::linktraceSmFactory(sw.slots->protocolPktIs(Cfm::protocolLinktrace),
                                                  Kiln::make<CfmAgent::MipCcmDb>(), sw.helper, sw.brConfig,
                                                  sw.brStatus, sw.pams);
  sw.receivePathIs();
  const std::string frame = ltmFrom(hostA, 64);
  auto once = [&] { sw.deliver(span(frame)); };
  // The first frame also builds the counter tree's buckets, as on a running switch.
  once();
  if (sw.wires[0]->sent != 1 || sw.wires[1]->sent != 1 || sw.wires[1]->lastFrame() != ltmFrom(bridgeMac, 63) ||
      sw.wires[0]->lastFrame().substr(0, 12) != hostA + bridgeMac) {
    return state.SkipWithError("the LTM did not make one relayed LTM with the expected bytes and one LTR");
  }
  timeFrames(state, sw, 2, 2, once);
  linktraceSm->prepareToDie();
}
BENCHMARK(BM_LtmRelayedAndAnswered);

}  // namespace

BENCHMARK_MAIN();
