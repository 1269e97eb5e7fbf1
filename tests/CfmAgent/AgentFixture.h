#pragma once
// The whole agent, from its library through the runner core, over the in-memory wire:
// interfaces appear in the status directory, frames injected on the wire are read by its own
// sockets. The receive path's suite and the engines' suites drive it alike.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <sstream>

#include "CfmAgent/CfmAgent.h"
#include "platform/agent/AgentRunner.h"
#include "platform/intf/EthDevPamManager.h"
#include "platform/intf/MemoryPam.h"
#include "platform/kiln/Trace.h"
#include "tests/support/PeerFrames.h"

namespace AgentTest {

using namespace CfmAgent;
using namespace TestSupport;
using Lumen::IntfId;

const IntfId et1("Ethernet1"), et2("Ethernet2");
const Cfm::MdLevel none;  // level 8: before the header is accepted

// Each field followed by a space.
template <class... T> std::string line(const T&... fields) {
  std::ostringstream s;
  ((s << fields << ' '), ...);
  return s.str();
}

// The lines `setting` traces while `run` runs, each after its handle's name when `named`.
inline std::vector<std::string> traced(const char* setting, const std::function<void()>& run, bool named = false) {
  std::vector<std::string> lines;
  auto previous = Kiln::traceSinkIs([&](const Kiln::TraceHandle& h, unsigned, std::string_view text) {
    lines.push_back((named ? h.name() + " " : "") + std::string(text));
  });
  Kiln::traceSettingIs(setting);
  run();
  Kiln::traceSettingIs("");
  Kiln::traceSinkIs(previous);
  return lines;
}

// (level, opcode, counter name) -> count, non-zero entries only.
using Counts = std::map<std::tuple<int, int, std::string>, std::uint64_t>;
inline Counts intfCounts(const Counter& counter, IntfId intf) {
  Counts out;
  if (const auto intfCounter = counter.intfCounter(intf)) {
    for (const auto& [level, md] : intfCounter->mdCounter())
      for (const auto& [op, opc] : md->opCodeCounter())
        for (const auto& [id, value] : opc->counter()) if (value) out[{level.value(), int(op), stringValue(id)}] = value;
  }
  return out;
}

// A CFM PDU of `bytes` bytes (the fixed part, 4 + offset, when 0): header, then zeros.
inline std::string pdu(int level, int opCode, int firstTlvOffset, std::size_t bytes = 0) {
  return cfmHeader(level, opCode, 0, firstTlvOffset) + std::string((bytes ? bytes : 4 + firstTlvOffset) - 4, '\0');
}

// An untagged frame from host A carrying `payload` to `dst`.
inline Frame frame(const std::string& payload, const std::string& dst = ccmGroup(3)) { return {dst, hostA, {}, 0x8902, payload}; }

// What a protocol engine was handed.
struct Handed { Cfm::Protocol protocol; Kiln::Ptr<PktMetaData> record; };

struct SlotRecorder : ProtocolPkt::NotifieeConst {
  SlotRecorder(Kiln::Ptr<ProtocolPkt> slot, std::vector<Handed>& out) : ProtocolPkt::NotifieeConst(slot), out(out) {}
  void onReadableCount() override {
    if (notifier()->pktMetaData()) out.push_back({notifier()->protocol(), notifier()->pktMetaData()});
  }
  std::vector<Handed>& out;
};

using PortSetup = std::function<void(Bridging::SwitchIntfConfig&)>;
using Pairs = std::vector<std::pair<IntfId, std::string>>;  // what was sent where

// The two counts of a dropped frame: `in` and the in-error, in the bucket the drop had
// reached (its `in` stays at (8, 0) until the opcode is accepted).
inline Counts dropped(int level, int op, const std::string& inError) {
  return {{{op ? level : 8, op, "in"}, 1}, {{level, op, "inError" + inError}, 1}};
}

const PortSetup routedPort = [](auto& p) { p.modeIs(Bridging::switchIntfModeRouted); };
const PortSetup noPortVlan = [](auto& p) { p.portVlanIs(Lumen::VlanIdOrNone()); };
const PortSetup serviceTpid = [](auto& p) { p.tpidIs(0x88a8); };

class AgentFixture : public ::testing::Test {
 protected:
  AgentFixture() {
    brConfig->bridgeMacAddrIs(Lumen::EthAddr(2, 0, 0, 0, 0, 1));
    fresh();
  }

  void TearDown() override {
    recorders.clear();
    handed.clear();
    agent = nullptr;
    runner.agentDel();
  }

  // Default MIPs at levels 3 and 4, level 5 without, Ethernet1 a trunk with native VLAN 10,
  // then `setup`; no counts, nothing learnt, nothing handed.
  void fresh(const PortSetup& setup = {}) {
    config->mdConfigIs(Cfm::MdLevel(5));
    statusDir->intfStatusIs(et1, "veth1");
    for (int level : {3, 4}) config->mdConfigIs(Cfm::MdLevel(level))->defaultMipIs(true);
    brConfig->switchIntfConfigDel(et1);
    port = brConfig->switchIntfConfigIs(et1);
    port->modeIs(Bridging::switchIntfModeTrunk);
    port->portVlanIs(Lumen::VlanIdOrNone(10));
    if (setup) setup(*port);
    handed.clear();
    if (!agent) return;
    agent->status()->counter()->intfCounterDelAll();
    agent->status()->ccmDb()->ccmMdDelAll();
    agent->status()->mipCcmDb()->vlanDelAll();
  }

  void start() {
    runner.libraryIs(CFM_AGENT_LIBRARY);
    agent = Kiln::ptrCast<CfmAgent::Agent>(runner.agentIs("CfmAgent::Agent", "cfmAgent"));
    ASSERT_TRUE(agent);
    // Each frame in a heap block of its own size: the sanitizer build sees a read past it.
    agent->ethDevPamManager()->pktReuseIs(false);
    if (!engines) {
      agent->continuityCheckSm()->hasNotificationActiveIs(false);
      agent->loopbackSm()->hasNotificationActiveIs(false);
      agent->linktraceSm()->hasNotificationActiveIs(false);
    }
    for (const auto& [protocol, slot] : agent->protocolPktCollection()->protocolPkt()) {
      recorders.push_back(std::make_unique<SlotRecorder>(slot, handed));
    }
  }

  void addPort(IntfId intf, const char* device) {  // native VLAN 10
    statusDir->intfStatusIs(intf, device);
    brConfig->switchIntfConfigIs(intf)->portVlanIs(Lumen::VlanIdOrNone(10));
  }

  void send(const std::string& bytes, IntfId intf = et1) {
    ASSERT_TRUE(Interface::memoryPamNetwork().inject(intf, bytes));
    loop.runUntilIdle();
  }
  // What the agent sent while taking `bytes`.
  Pairs exchange(const std::string& bytes, IntfId intf = et1) {
    Interface::memoryPamNetwork().sentClear();
    send(bytes, intf);
    Pairs out;
    for (const auto& s : Interface::memoryPamNetwork().sent()) out.emplace_back(s.intf, s.bytes);
    return out;
  }

  // As the status mount shows them.
  Kiln::Ptr<Status> status() const { return Kiln::ptrCast<Status>(manager->entity("cfm/status")); }
  Counts counts(IntfId intf = et1) const { return intfCounts(*status()->counter(), intf); }
  template <class T>
  Kiln::Ptr<T> entity(const char* path, const char* type) { return Kiln::ptrCast<T>(manager->entityIs(path, type)); }

  Kiln::EventLoop& loop = Kiln::eventLoop();
  Kiln::Ptr<Orbis::EntityManager> manager = Kiln::make<Orbis::EntityManager>(loop);
  AgentBase::AgentRunner runner{manager};
  Kiln::Ptr<Bridging::Config> brConfig = entity<Bridging::Config>("bridging/config", "Bridging::Config");
  Kiln::Ptr<CfmAgent::Config> config = entity<CfmAgent::Config>("cfm/config", "CfmAgent::Config");
  Kiln::Ptr<Interface::AllIntfStatusDir> statusDir =
      entity<Interface::AllIntfStatusDir>("interface/status/all", "Interface::AllIntfStatusDir");
  Kiln::Ptr<Bridging::SwitchIntfConfig> port;
  Kiln::Ptr<CfmAgent::Agent> agent;
  bool engines = true;  // false: frames stop at the hand-off
  std::vector<Handed> handed;
  std::vector<std::unique_ptr<SlotRecorder>> recorders;
};

}  // namespace AgentTest
