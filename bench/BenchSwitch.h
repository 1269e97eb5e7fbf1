#pragma once
// A switch for benchmarks of the agent's reply paths, without a kernel: access ports
// Ethernet1..N in VLAN 10, a default MIP at level 3, the bridge MAC 02:00:00:00:00:01, and a
// real EthDevPam per port whose device throws frames away, keeping a count and the last
// frame's first bytes. The wire then costs nothing and allocates nothing (the in-memory wire
// would allocate a string per frame), so a benchmark measures the agent alone.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "CfmAgent/PamSm.h"
#include "CfmAgent/PktHelper.h"
#include "platform/intf/Pam.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/PeerFrames.h"

class DiscardDevice : public Interface::PamDevice {
 public:
  bool transmit(std::span<const std::uint8_t> frame, const Interface::TxTiming&) override {
    ++sent;
    lastBytes = std::min(frame.size(), last.size());
    std::memcpy(last.data(), frame.data(), lastBytes);
    return true;
  }
  std::string lastFrame() const { return {reinterpret_cast<const char*>(last.data()), lastBytes}; }

  std::uint64_t sent = 0;
  std::array<std::uint8_t, 128> last{};
  std::size_t lastBytes = 0;
};

struct BenchSwitch {
  explicit BenchSwitch(std::size_t ports) {
    config->mdConfigIs(Cfm::MdLevel(3))->defaultMipIs(true);
    brConfig->bridgeMacAddrIs(Lumen::EthAddr(2, 0, 0, 0, 0, 1));
    for (std::size_t i = 1; i <= ports; ++i) {
      const Lumen::IntfId intf("Ethernet" + std::to_string(i));
      auto port = brConfig->switchIntfConfigIs(intf);
      port->modeIs(Bridging::switchIntfModeAccess);
      port->portVlanIs(Lumen::VlanIdOrNone(10));
      auto pam = Kiln::make<Interface::EthDevPam>(intf);
      pam->rxQueueLimitIs(56);
      auto device = std::make_unique<DiscardDevice>();
      wires.push_back(device.get());
      pam->deviceIs(std::move(device));
      pams->intfPamIs(intf, pam);
      sockets.push_back(pam);
    }
  }
  // The receive path, built after the engines as the agent does; it takes the sockets
  // already in the collection.
  void receivePathIs() { pamSm = CfmAgent::pamSmFactory(pams, slots, helper, config, brConfig); }
  ~BenchSwitch() {
    port1 = nullptr;
    if (pamSm) pamSm->prepareToDie();
  }

  // A frame copied into a pooled buffer, as a device delivers it (a reply edited in place
  // needs a fresh copy each time), and taken by Ethernet1's machine.
  void deliver(std::span<const std::uint8_t> frame) {
    if (!port1) port1 = CfmAgent::pamIntfSmFactory(sockets[0]->intfId(), sockets[0], pamSm.get());
    auto pkt = Lumen::pktManager().newPkt();
    pkt->bytesIs(frame, false);
    port1->processPkt(pkt);
  }

  // A frame as a kernel socket's batch delivers it: queued, then offered.
  void receive(std::size_t port, std::span<const std::uint8_t> frame) {
    sockets[port]->rxFrame(frame, false);
    sockets[port]->offerReadable();
  }
  std::uint64_t sent() const {
    std::uint64_t total = 0;
    for (const DiscardDevice* wire : wires) total += wire->sent;
    return total;
  }

  Kiln::Ptr<CfmAgent::Config> config = Kiln::make<CfmAgent::Config>();
  Kiln::Ptr<Bridging::Config> brConfig = Kiln::make<Bridging::Config>();
  Kiln::Ptr<Bridging::Status> brStatus = Kiln::make<Bridging::Status>();
  Kiln::Ptr<Interface::EthDevPamCollection> pams = Kiln::make<Interface::EthDevPamCollection>("edpc");
  std::vector<Kiln::Ptr<Interface::EthDevPam>> sockets;
  std::vector<DiscardDevice*> wires;
  Kiln::Ptr<CfmAgent::PktHelper> helper = Kiln::make<CfmAgent::PktHelper>(
      pams, CfmAgent::counterHelperFactory(Kiln::make<CfmAgent::Counter>()));
  Kiln::Ptr<CfmAgent::ProtocolPktCollection> slots = Kiln::make<CfmAgent::ProtocolPktCollection>();
  Kiln::Ptr<CfmAgent::PamSm> pamSm;
  Kiln::Ptr<CfmAgent::PamIntfSm> port1;
};

// Runs `once` per iteration and reports heap allocations per frame and frames per second;
// the frames the wires saw must be `perFrame` per run of `once`, `warmUp` of them before.
template <class Once>
void timeFrames(benchmark::State& state, const BenchSwitch& sw, std::uint64_t warmUp, std::uint64_t perFrame,
                Once&& once) {
  const std::uint64_t before = testAllocations;
  for (auto _ : state) once();
  state.counters["allocs/frame"] =
      benchmark::Counter(double(testAllocations - before), benchmark::Counter::kAvgIterations);
  state.SetItemsProcessed(state.iterations());
  if (sw.sent() != warmUp + perFrame * std::uint64_t(state.iterations())) state.SkipWithError("a frame went unanswered");
}
