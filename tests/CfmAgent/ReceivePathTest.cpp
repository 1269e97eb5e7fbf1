// The whole agent, from its library through the runner core, over the in-memory wire: interfaces
// appear in the status directory, frames injected on the wire are read by its own sockets.

#include <gtest/gtest.h>

#include <random>

#include "AgentTestUtil.h"
#include "CfmAgent/CfmAgent.h"
#include "platform/agent/AgentRunner.h"
#include "platform/intf/MemoryPam.h"
#include "tests/support/Frames.h"

namespace {

using namespace TestSupport;
using AgentTest::Counts;
using Interface::IntfId;

const IntfId et1("Ethernet1");

// A CFM PDU of `bytes` bytes (the fixed part, 4 + offset, when 0): header, then zeros.
std::string pdu(int level, int opCode, int firstTlvOffset, std::size_t bytes = 0) {
  return cfmHeader(level, opCode, 0, firstTlvOffset) + std::string((bytes ? bytes : 4 + firstTlvOffset) - 4, '\0');
}

// An untagged frame from host A carrying `payload` to `dst`.
Frame frame(const std::string& payload, const std::string& dst = ccmGroup(3)) {
  return {dst, hostA, {}, 0x8902, payload};
}

// What a protocol engine was handed.
struct Handed { Cfm::Protocol protocol; Kiln::Ptr<CfmAgent::PktMetaData> record; };

struct SlotRecorder : CfmAgent::ProtocolPkt::NotifieeConst {
  SlotRecorder(Kiln::Ptr<CfmAgent::ProtocolPkt> slot, std::vector<Handed>& out)
      : CfmAgent::ProtocolPkt::NotifieeConst(slot), out(out) {}
  void onReadableCount() override {
    if (notifier()->pktMetaData()) out.push_back({notifier()->protocol(), notifier()->pktMetaData()});
  }
  std::vector<Handed>& out;
};

using PortSetup = std::function<void(Bridging::SwitchIntfConfig&)>;

// The two counts of a dropped frame: `in` and the in-error, in the bucket the drop had
// reached (its `in` stays at (8, 0) until the opcode is accepted).
Counts dropped(int level, int op, const std::string& inError) {
  return {{{op ? level : 8, op, "in"}, 1}, {{level, op, "inError" + inError}, 1}};
}

const PortSetup routedPort = [](auto& p) { p.modeIs(Bridging::switchIntfModeRouted); };
const PortSetup noPortVlan = [](auto& p) { p.portVlanIs(Lumen::VlanIdOrNone()); };
const PortSetup serviceTpid = [](auto& p) { p.tpidIs(0x88a8); };

class ReceivePathTest : public ::testing::Test {
 protected:
  ReceivePathTest() { fresh(); }

  void TearDown() override {
    recorders.clear();
    handed.clear();
    agent = nullptr;
    runner.agentDel();
  }

  // Default MIPs at levels 3 and 4, level 5 without, Ethernet1 a trunk with native VLAN 10,
  // then `setup`; no counts, nothing handed.
  void fresh(const PortSetup& setup = {}) {
    config->mdConfigIs(Cfm::MdLevel(5));
    statusDir->intfStatusIs(et1, "veth1");
    for (int level : {3, 4}) config->mdConfigIs(Cfm::MdLevel(level))->defaultMipIs(true);
    brConfig->switchIntfConfigDel(et1);
    port = brConfig->switchIntfConfigIs(et1);
    port->modeIs(Bridging::switchIntfModeTrunk);
    port->portVlanIs(Lumen::VlanIdOrNone(10));
    if (setup) setup(*port);
    if (agent) agent->status()->counter()->intfCounterDelAll();
    handed.clear();
  }

  void start() {
    runner.libraryIs(CFM_AGENT_LIBRARY);
    agent = Kiln::ptrCast<CfmAgent::Agent>(runner.agentIs("CfmAgent::Agent", "cfmAgent"));
    ASSERT_TRUE(agent);
    // Each frame in a heap block of its own size: the sanitizer build sees a read past it.
    agent->ethDevPamManager()->pktReuseIs(false);
    for (const auto& [protocol, slot] : agent->protocolPktCollection()->protocolPkt()) {
      recorders.push_back(std::make_unique<SlotRecorder>(slot, handed));
    }
  }

  void send(const std::string& bytes) {
    ASSERT_TRUE(Interface::memoryPamNetwork().inject(et1, bytes));
    loop.runUntilIdle();
  }

  // As the status mount shows them.
  Counts counts() const {
    return AgentTest::counts(*Kiln::ptrCast<CfmAgent::Status>(manager->entity("cfm/status"))->counter(), et1);
  }
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
  std::vector<Handed> handed;
  std::vector<std::unique_ptr<SlotRecorder>> recorders;
};

// Each drop reason once, as the only fault or as the first of two; the prefix table below
// has those of frames cut short.
TEST_F(ReceivePathTest, EachDropIsCountedOnceInItsBucket) {
  const PortSetup noDefaultMip = [&](auto&) {
    for (int l : {3, 4}) config->mdConfigIs(Cfm::MdLevel(l))->defaultMipIs(false);
  };
  struct Row { const char* name; Frame frame; Counts expected; PortSetup port = {}; };
  const Row rows[] = {
      {"no switchport", {}, dropped(8, 0, "IntfModeExcluded"), [&](auto&) { brConfig->switchIntfConfigDel(et1); }},
      {"reserved vlan 4095 on a trunk", Frame{}.tag(4095), dropped(8, 0, "NoBridgingVlan")},
      {"0x8100 tag on a 0x88a8 port is no tag", Frame{}.tag(20), dropped(8, 0, "NotCfmEtherType"), serviceTpid},
      {"0x88a8 inner tag", Frame{}.tag(20).tag(30, 0x88a8), dropped(8, 0, "NotCfmEtherType")},
      {"three tags", Frame{}.tag(20).tag(30).tag(40), dropped(8, 0, "NotCfmEtherType")},
      // From here the header is known: the level is the header's, the opcode 0 until accepted.
      {"opcode 0", frame(pdu(3, 0, 70)), dropped(3, 0, "UnsupportedOpCode")},
      // From here the frame's `in` has moved to its level and opcode.
      {"ltm to the level-3 address, header level 4", frame(pdu(4, 5, 17), ltmGroup(3)),
       dropped(4, 5, "DstMacMdLevelMismatch")},
      {"level without default mip", frame(ccm(5, 1), ccmGroup(5)), dropped(5, 1, "NoMpAtMdLevel")},
      {"ccm, first tlv offset 69", frame(pdu(3, 1, 69, 74)), dropped(3, 1, "FirstTlvOffsetTooSmall")},
      {"lbr, first tlv offset 3", frame(pdu(3, 2, 3, 8), hostB), dropped(3, 2, "FirstTlvOffsetTooSmall")},
      {"lbm, first tlv offset 3", frame(pdu(3, 3, 3, 8), hostB), dropped(3, 3, "FirstTlvOffsetTooSmall")},
      {"ltr, first tlv offset 5", frame(pdu(3, 4, 5, 10), hostB), dropped(3, 4, "FirstTlvOffsetTooSmall")},
      {"ltm, first tlv offset 16", frame(pdu(3, 5, 16, 21), ltmGroup(3)), dropped(3, 5, "FirstTlvOffsetTooSmall")},
      // Two faults: the first check decides.
      {"no default mip, four bytes", {"\x01\x02", "", {}, 0, ""}, dropped(8, 0, "MipNotConfigured"), noDefaultMip},
      {"multicast source, routed port", {ccmGroup(3), mac(0x01005e000001), {}, 0x8902, ccm(3, 1)},
       dropped(8, 0, "SrcMacNotUnicast"), routedPort},
      {"routed port, tag cut short", {ccmGroup(3), hostA, {}, 0x8100, ""}, dropped(8, 0, "IntfModeExcluded"),
       routedPort},
      {"no port vlan, ipv4", {ccmGroup(3), hostA, {}, 0x0800, ccm(3, 1)}, dropped(8, 0, "NoBridgingVlan"), noPortVlan},
      {"ipv4, one byte", {ccmGroup(3), hostA, {}, 0x0800, "\x60"}, dropped(8, 0, "NotCfmEtherType")},
      {"opcode 6, level not configured", frame(pdu(2, 6, 70), ccmGroup(2)), dropped(2, 0, "UnsupportedOpCode")},
      {"ltm to the ccm address, level not configured", frame(pdu(2, 5, 17), ccmGroup(2)),
       dropped(2, 5, "DstMacOpCodeMismatch")},
      {"ccm to the level-4 ltm address", frame(pdu(3, 1, 70), ltmGroup(4)), dropped(3, 1, "DstMacOpCodeMismatch")},
      {"level not configured, offset too small", frame(pdu(2, 1, 3), ccmGroup(2)), dropped(2, 1, "NoMpAtMdLevel")},
      {"offset past the end and too small", frame(pdu(3, 1, 60, 20)), dropped(3, 1, "FirstTlvOffsetTooLarge")},
  };
  start();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    fresh(r.port);
    send(r.frame.bytes());
    EXPECT_EQ(counts(), r.expected);
    EXPECT_TRUE(handed.empty());
  }
}

// Each frame shape, its first TLV offset the least of its opcode, cut at every length:
// every prefix is counted `in` once and dropped once for the first part it lacks, or handed
// to its protocol; none is read past its end.
TEST_F(ReceivePathTest, EveryPrefixOfAFrameIsCountedOnceForWhatItLacks) {
  struct Shape { const char* name; Frame frame; std::size_t tags; int opCode, least; Cfm::Protocol to;
                 PortSetup port = {}; };
  const Shape shapes[] = {
      {"ccm, untagged", {}, 0, 1, 70, Cfm::protocolContinuityCheck},
      {"ccm, two tags", Frame{}.tag(20).tag(30), 2, 1, 70, Cfm::protocolContinuityCheck},
      {"lbr, one tag", frame(pdu(3, 2, 4), hostB).tag(20), 1, 2, 4, Cfm::protocolLoopback},
      {"lbm, service and customer tag", frame(lbm(3, 7), hostB).tag(20, 0x88a8).tag(30), 2, 3, 4, Cfm::protocolLoopback,
       serviceTpid},
      {"ltr, untagged", frame(pdu(3, 4, 6), hostB), 0, 4, 6, Cfm::protocolLinktrace},
      {"ltm, one tag", frame(pdu(3, 5, 17, 22), ltmGroup(3)).tag(20), 1, 5, 17, Cfm::protocolLinktrace},
  };
  start();
  for (const Shape& s : shapes) {
    const std::string whole = s.frame.bytes();
    const std::size_t cfm = 14 + 4 * s.tags;  // where the CFM header starts
    for (std::size_t n = 0; n <= whole.size(); ++n) {
      SCOPED_TRACE(testing::Message() << s.name << ", " << n << " bytes");
      fresh(s.port);
      send(whole.substr(0, n));
      const char* lacks = n < 14                                  ? "EthHdrTooShort"
                          : n < cfm                               ? "VlanTagTooShort"
                          : n < cfm + 4                           ? "CfmHdrTooShort"
                          : n - cfm < std::size_t(s.least)        ? "FirstTlvOffsetTooLarge"
                                                                  : nullptr;
      const int op = n >= cfm + 4 ? s.opCode : 0;  // accepted with the header
      EXPECT_EQ(counts(), (lacks ? dropped(op ? 3 : 8, op, lacks) : Counts{{{3, op, "in"}, 1}}));
      ASSERT_EQ(handed.size(), lacks ? 0u : 1u);
      EXPECT_TRUE(lacks || handed[0].protocol == s.to);
    }
  }
}

TEST_F(ReceivePathTest, TheRecordCarriesTheResolvedVlanAndItsTags) {
  using U16 = std::uint16_t;
  auto xlate = [](std::vector<std::tuple<U16, U16, U16>> rows) -> PortSetup {  // (outer, inner) -> vlan
    return [rows](auto& p) { for (auto [o, i, v] : rows) p.ingressVlanXlateIs({o, i}, {v, 0}); };
  };
  struct Row { const char* name; Frame frame; PortSetup port; std::uint16_t vlan; std::vector<std::uint16_t> vids; };
  const Row rows[] = {
      {"access ignores 4095", Frame{}.tag(4095), [](auto& p) { p.modeIs(Bridging::switchIntfModeAccess); }, 10, {4095}},
      {"trunk, untagged", {}, {}, 10, {}},
      {"trunk, priority tag", Frame{}.tag(0xa000), {}, 10, {0}},
      {"trunk, pcp and dei do not change the vlan", Frame{}.tag(0xf000 | 20), {}, 20, {20}},
      {"single tag mapped", Frame{}.tag(100), xlate({{100, 0, 300}}), 300, {100}},
      {"double tag mapped", Frame{}.tag(100).tag(200), xlate({{100, 200, 400}, {100, 0, 300}}), 400, {100, 200}},
      {"double tag, single mapped", Frame{}.tag(100).tag(200), xlate({{100, 0, 300}}), 300, {100, 200}},
      {"double tag, unmapped", Frame{}.tag(100).tag(200), xlate({{100, 201, 400}}), 100, {100, 200}},
      {"inner 4095 is harmless", Frame{}.tag(100).tag(4095), {}, 100, {100, 4095}},
      {"service tpid outer, 0x8100 inner", Frame{}.tag(100, 0x88a8).tag(200), serviceTpid, 100, {100, 200}},
  };
  start();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    fresh(r.port);
    send(r.frame.bytes());
    ASSERT_EQ(handed.size(), 1u);
    const auto& h = *handed[0].record;
    std::vector<std::uint16_t> vids;
    h.eth8021QHdr().forEach([&](auto, auto* tag) { vids.push_back(tag->tagControl().vlanId()); });
    EXPECT_EQ(h.vlan().value(), r.vlan);
    EXPECT_EQ(vids, r.vids);
    // The engine finds the Ethernet header at the front, the CFM header at the begin offset.
    EXPECT_EQ(h.pkt()->beginOffset(), int(14 + 4 * r.vids.size()));
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(h.ethHdr()), h.pkt()->frontData());
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(h.cfmHdr()), h.pkt()->offsetFront());
    EXPECT_TRUE(h.ingress() && h.intf() == et1);
  }
}

// Whatever arrives, every frame is counted `in` once and then dropped with one in-error
// counter or handed over; nothing reads outside the frame (the sanitizer build watches).
TEST_F(ReceivePathTest, MangledFramesAreEachCountedOnceAndNeverCrash) {
  port->ingressVlanXlateIs({100, 0}, {300, 0});
  start();
  std::mt19937 random(7);
  const std::string templates[] = {Frame{}.bytes(), Frame{}.tag(100).bytes(), Frame{}.tag(100).tag(200).bytes(),
                                   frame(pdu(3, 5, 17, 22), ltmGroup(3)).bytes()};
  const int frames = 3000;
  std::uint64_t handedOver = 0;
  for (int i = 0; i < frames; ++i) {
    std::string bytes = templates[random() % std::size(templates)];
    for (int flips = random() % 4; flips > 0; --flips) bytes[random() % bytes.size()] = char(random());
    if (random() % 3 == 0) bytes.resize(random() % (bytes.size() + 1));
    send(bytes);
    handedOver += handed.size();
    handed.clear();
  }
  std::uint64_t in = 0, inErrors = 0;
  for (const auto& [key, value] : counts()) (std::get<2>(key) == "in" ? in : inErrors) += value;
  EXPECT_EQ(in, std::uint64_t(frames));
  EXPECT_EQ(inErrors + handedOver, std::uint64_t(frames));  // no debug counts on this path
  EXPECT_TRUE(handedOver > 0 && inErrors > 0);
}

TEST_F(ReceivePathTest, DropAndMismatchTracesReadAsOperatorsExpect) {
  start();
  std::vector<std::string> lines;
  auto previous = Kiln::traceSinkIs([&](const Kiln::TraceHandle& h, unsigned, std::string_view text) {
    if (h.name() == "CfmPam") lines.emplace_back(text);
  });
  Kiln::traceSettingIs("CfmPam/5,7");
  send(frame(pdu(3, 5, 17)).bytes());
  send(frame(pdu(4, 5, 17), ltmGroup(3)).bytes());
  send(frame(pdu(3, 1, 69)).bytes());
  Kiln::traceSettingIs("");
  Kiln::traceSinkIs(previous);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "Bridging vlan = 10", "Multicast address corresponds to opCodeCcm but opCode field is opCodeLtm",
                       "Bridging vlan = 10", "Multicast address corresponds to mdLevel 3but CfmHdr mdLevel is \x04",
                       "Bridging vlan = 10", "PktId: 3 Expr: cfmHdr->firstTlvOffset() Value: E"}));
}

// Sockets and machines from start to the agent's end, over what the state database held
// before the start.
TEST_F(ReceivePathTest, EthernetAndPortChannelInterfacesGetSocketsAndMachines) {
  const IntfId et2("Ethernet2"), po1("Port-Channel1"), et7("Ethernet7");
  for (IntfId intf : {po1, IntfId("Vlan10"), IntfId("Management1"), et2}) statusDir->intfStatusIs(intf, "");
  entity<KernelNetInfo::Status>("kni/ns/default/status", "KernelNetInfo::Status")->deviceIs("veth1", 4);
  start();
  auto device = agent->deviceIntfStatusDir()->deviceIntfStatus(et1);
  EXPECT_TRUE(device && device->ifIndex() == 4);
  std::vector<IntfId> desired, machines;
  for (const auto& [intf, d] : agent->pamDesiredIntfDir()->intfDesired()) desired.push_back(intf);
  for (const auto& [intf, sm] : agent->pamSm()->pamIntfSm()) machines.push_back(intf);
  EXPECT_EQ(desired, (std::vector<IntfId>{et1, et2, po1}));
  EXPECT_EQ(machines, desired);
  EXPECT_FALSE(Interface::memoryPamNetwork().isOpen(IntfId("Vlan10")));

  // What an earlier run left for interfaces that are gone goes when IntfSm starts.
  auto earlier = Kiln::make<Interface::PamDesiredIntfDir>("pdid");
  for (const char* name : {"Ethernet1", "Ethernet5", "Port-Channel2"}) earlier->intfDesiredIs(IntfId(name), true);
  ASSERT_TRUE(CfmAgent::intfSmFactory(statusDir, earlier));
  EXPECT_EQ(earlier->intfDesired(), agent->pamDesiredIntfDir()->intfDesired());

  // A port-channel takes frames like any Ethernet interface; frames waiting are taken one
  // a round until none is left.
  brConfig->switchIntfConfigIs(po1)->portVlanIs(Lumen::VlanIdOrNone(10));
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(Interface::memoryPamNetwork().inject(po1, Frame{}.bytes()));
  loop.runOnce(0);
  EXPECT_EQ(handed.size(), 1u);
  loop.runUntilIdle();
  ASSERT_EQ(handed.size(), 3u);
  EXPECT_EQ(handed[2].record->intf(), po1);

  // Gone and back: the socket closes with its machine, a new pair comes.
  const auto before = agent->pamSm()->pamIntfSm(et2);
  statusDir->intfStatusDel(et2);
  EXPECT_FALSE(agent->pamDesiredIntfDir()->intfDesired(et2) || agent->pamSm()->pamIntfSm(et2));
  EXPECT_FALSE(Interface::memoryPamNetwork().isOpen(et2));
  statusDir->intfStatusIs(et2, "");
  EXPECT_TRUE(agent->pamSm()->pamIntfSm(et2) && agent->pamSm()->pamIntfSm(et2) != before);

  // A machine without a socket reads nothing.
  CfmAgent::pamIntfSmFactory(IntfId("Ethernet4"), nullptr, agent->pamSm().get())->handlePamReadable();
  EXPECT_EQ(agent->pktHelper()->pktId(), 3u);

  // The agent gone, its sockets are closed, those it opened for its own desires too.
  agent->pamDesiredIntfDir()->intfDesiredIs(et7, true);
  EXPECT_TRUE(Interface::memoryPamNetwork().isOpen(et7) && Interface::memoryPamNetwork().isOpen(et1));
  TearDown();
  EXPECT_FALSE(Interface::memoryPamNetwork().isOpen(et7) || Interface::memoryPamNetwork().isOpen(et1));
}

TEST_F(ReceivePathTest, AFailedMountStopsTheAgentWithItsAssertion) {
  manager->entityIs("cfm/aleStatus", "Kiln::Dir");  // another type at a mounted path
  EXPECT_EQ(TestSupport::errorOf([&] { start(); }), "mountStatus == Orbis::mountSuccess_");
}

}  // namespace
