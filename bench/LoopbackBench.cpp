// Per-frame cost of answering a loopback message: an LBM to the bridge MAC filled into a
// pooled buffer as a device delivers it, classified by the receive path, turned into the LBR
// by the LoopbackSm and sent through the interface's packet-access socket. The socket
// throws frames away (bench/BenchSwitch.h). Reports replies per second and heap
// allocations per frame.

#include "CfmAgent/LoopbackSm.h"
#include "bench/BenchSwitch.h"

namespace {

using namespace TestSupport;

// The frame lbmflood sends: untagged, 60 bytes, the End TLV after the transaction id.
std::string loopbackFrame(const std::string& dst, const std::string& src, int opCode) {
  std::string frame = ethernet(dst, src, 0, cfmHeader(3, opCode, 0, 4) + u32(0x1234));
  frame.resize(60, '\0');
  return frame;
}
const std::string lbm = loopbackFrame(bridgeMac, hostA, 3), lbr = loopbackFrame(hostA, bridgeMac, 2);

void BM_LbmToLbr(benchmark::State& state) {
  BenchSwitch sw(1);
  auto loopbackSm = CfmAgent::loopbackSmFactory(sw.slots->protocolPktIs(Cfm::protocolLoopback), sw.helper, sw.brConfig);
  sw.receivePathIs();
  auto once = [&] { sw.deliver(span(lbm)); };
  // The first frame also builds the counter tree's buckets, as on a running switch.
  once();
  if (sw.sent() != 1 || sw.wires[0]->lastFrame() != lbr) {
    return state.SkipWithError("the LBM did not come back as exactly one LBR with the expected bytes");
  }
  timeFrames(state, sw, 1, 1, once);
  loopbackSm->prepareToDie();
}
BENCHMARK(BM_LbmToLbr);

// The same reply with traffic spread over N interfaces, each with a socket of its own: frames
// go round the interfaces one after another and reach the agent as a kernel socket's batch
// does. The cost per frame must not grow with the number of interfaces.
void BM_LbmToLbrInterfaces(benchmark::State& state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  BenchSwitch sw(n);
  auto loopbackSm = CfmAgent::loopbackSmFactory(sw.slots->protocolPktIs(Cfm::protocolLoopback), sw.helper, sw.brConfig);
  sw.receivePathIs();
  std::size_t next = 0;
  auto once = [&] {
    sw.receive(next, span(lbm));
    if (++next == n) next = 0;
  };
  // One round first: every interface's counters exist, as on a running switch.
  for (std::size_t i = 0; i < n; ++i) once();
  for (const DiscardDevice* wire : sw.wires) {
    if (wire->sent != 1 || wire->lastFrame() != lbr) {
      return state.SkipWithError("an interface did not answer its LBM with exactly one LBR");
    }
  }
  timeFrames(state, sw, n, 1, once);
  loopbackSm->prepareToDie();
}
BENCHMARK(BM_LbmToLbrInterfaces)->Arg(1)->Arg(64)->Arg(512);

}  // namespace

BENCHMARK_MAIN();
