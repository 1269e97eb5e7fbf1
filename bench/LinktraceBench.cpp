// Per-frame cost of relaying a linktrace message: an LTM from host A for host B, filled into
// a pooled buffer as a device delivers it, classified by the receive path, relayed by the
// LinktraceSm through the filtering database out of the other port (a new packet, built back
// to front) and answered with an LTR (another new packet). Both sockets throw frames away
// (bench/BenchSwitch.h). Reports LTMs per second
// and heap allocations per LTM.

#include "CfmAgent/LinktraceSm.h"
#include "bench/BenchSwitch.h"

namespace {

const std::string bridgeMac("\x02\x00\x00\x00\x00\x01", 6), hostA("\x02\x00\x00\x00\x00\x0a", 6),
    hostB("\x02\x00\x00\x00\x00\x0b", 6), ltmGroup("\x01\x80\xc2\x00\x00\x3b", 6), cfm("\x89\x02", 2);

// cfmtool's LTM: level 3, TTL `ttl`, `src`'s egress identifier, the End TLV.
std::string ltm(const std::string& src, int ttl) {
  return ltmGroup + src + cfm + std::string{char(3 << 5), 5, 0, 17} + std::string("\x01\x02\x03\x04", 4) +
         char(ttl) + hostA + hostB + std::string("\x07\x00\x08\x00\x00", 5) + src + std::string(1, '\0');
}

void BM_LtmRelayedAndAnswered(benchmark::State& state) {
  BenchSwitch sw(2);
  sw.brStatus->vlanStatusIs(Lumen::VlanId(10))->learnedHostIs(Lumen::EthAddr(2, 0, 0, 0, 0, 0x0b),
                                                              {sw.sockets[1]->intfId()});
  auto linktraceSm = CfmAgent::linktraceSmFactory(sw.slots->protocolPktIs(Cfm::protocolLinktrace),
                                                  Kiln::make<CfmAgent::MipCcmDb>(), sw.helper, sw.brConfig,
                                                  sw.brStatus, sw.pams);
  sw.receivePathIs();
  const std::string frame = ltm(hostA, 64);
  auto once = [&] { sw.deliver(bytesOf(frame)); };
  // The first frame also builds the counter tree's buckets, as on a running switch.
  once();
  if (sw.wires[0]->sent != 1 || sw.wires[1]->sent != 1 || sw.wires[1]->lastFrame() != ltm(bridgeMac, 63) ||
      sw.wires[0]->lastFrame().substr(0, 12) != hostA + bridgeMac) {
    return state.SkipWithError("the LTM did not make one relayed LTM with the expected bytes and one LTR");
  }
  timeFrames(state, sw, 2, 2, once);
  linktraceSm->prepareToDie();
}
BENCHMARK(BM_LtmRelayedAndAnswered);

}  // namespace

BENCHMARK_MAIN();
