// The receive path with the whole agent running over the in-memory wire: the agent comes
// from its library through the runner core, interfaces appear in the status directory, and
// frames injected on the wire are read by the agent's own sockets.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "CfmAgent/CfmAgent.h"
#include "platform/agent/AgentRunner.h"
#include "platform/intf/MemoryPam.h"
#include "platform/kiln/Errors.h"
#include "platform/kiln/Trace.h"

namespace {

using Interface::IntfId;
using Bridging::SwitchIntfMode;

const IntfId et1("Ethernet1");
const std::string hostMac("\x02\x00\x00\x00\x00\xaa", 6);

std::string u16(std::uint16_t v) { return {char(v >> 8), char(v & 0xff)}; }

// One frame, described field by field; the defaults make a valid CCM at level 3 to the
// CCM group address of level 3.
struct Frame {
  std::string dst = std::string("\x01\x80\xc2\x00\x00\x33", 6);
  std::string src = hostMac;
  std::vector<std::pair<std::uint16_t, std::uint16_t>> tags;  // (TPID, tag control)
  std::uint16_t etherType = 0x8902;
  std::uint8_t level = 3;
  std::uint8_t opCode = 1;
  std::uint8_t firstTlvOffset = 70;
  std::size_t cfmBytes = 75;  // common header included

  std::string bytes() const {
    std::string b = dst + src;
    for (auto [tpid, tci] : tags) b += u16(tpid) + u16(tci);
    b += u16(etherType);
    std::string cfm(cfmBytes, '\0');
    if (cfmBytes > 0) cfm[0] = char(level << 5);
    if (cfmBytes > 1) cfm[1] = char(opCode);
    if (cfmBytes > 3) cfm[3] = char(firstTlvOffset);
    return b + cfm;
  }
  Frame& tag(std::uint16_t vid, std::uint16_t tpid = 0x8100) {
    tags.emplace_back(tpid, vid);
    return *this;
  }
};

// What an engine sees of a handed-over record.
struct Handed {
  Cfm::Protocol protocol;
  std::uint16_t vlan;
  std::vector<std::uint16_t> vids;
  std::uint8_t opCode;
  std::uint8_t hdrOpCode;
  bool ingress;
  IntfId intf;
  bool ethHdrAtFront;
  int cfmOffset;  // begin offset of the frame at the hand-off
  bool cfmHdrAtBegin;
};

class SlotRecorder : public CfmAgent::ProtocolPkt::NotifieeConst {
 public:
  SlotRecorder(Kiln::Ptr<CfmAgent::ProtocolPkt> slot, std::vector<Handed>& out)
      : CfmAgent::ProtocolPkt::NotifieeConst(slot), out_(out) {}
  void onReadableCount() override {
    const auto& r = notifier()->pktMetaData();
    if (!r) return;
    std::vector<std::uint16_t> vids;
    r->eth8021QHdr().forEach([&](auto, auto* tag) { vids.push_back(tag->tagControl().vlanId()); });
    const auto& pkt = r->pkt();
    out_.push_back({notifier()->protocol(), r->vlan().value(), vids, std::uint8_t(r->opCode()),
                    r->cfmHdr()->opCode(), r->ingress(), r->intf(),
                    reinterpret_cast<std::uint8_t*>(r->ethHdr()) == pkt->frontData(),
                    pkt->beginOffset(),
                    reinterpret_cast<std::uint8_t*>(r->cfmHdr()) == pkt->offsetFront()});
  }

 private:
  std::vector<Handed>& out_;
};

using Counts = std::map<std::tuple<int, int, std::string>, std::uint64_t>;

class ReceivePathTest : public ::testing::Test {
 protected:
  void SetUp() override {
    brConfig = Kiln::ptrCast<Bridging::Config>(manager->entityIs("bridging/config", "Bridging::Config"));
    config = Kiln::ptrCast<CfmAgent::Config>(manager->entityIs("cfm/config", "CfmAgent::Config"));
    statusDir = Kiln::ptrCast<Interface::AllIntfStatusDir>(
        manager->entityIs("interface/status/all", "Interface::AllIntfStatusDir"));
    for (int level : {3, 4}) config->mdConfigIs(Cfm::MdLevel(level))->defaultMipIs(true);
    config->mdConfigIs(Cfm::MdLevel(5));  // configured, no default MIP
    trunkPortIs();
    statusDir->intfStatusIs(et1, "veth1");
  }

  // Ethernet1 as a trunk with native VLAN 10, and nothing else set.
  void trunkPortIs() {
    brConfig->switchIntfConfigDel(et1);
    port = brConfig->switchIntfConfigIs(et1);
    port->modeIs(Bridging::switchIntfModeTrunk);
    port->portVlanIs(Lumen::VlanIdOrNone(10));
  }

  void TearDown() override {
    recorders.clear();
    agent = nullptr;
    runner.agentDel();
  }

  void start() {
    runner.libraryIs(CFM_AGENT_LIBRARY);
    agent = Kiln::ptrCast<CfmAgent::Agent>(runner.agentIs("CfmAgent::Agent", "cfmAgent"));
    ASSERT_TRUE(agent);
    for (const auto& [protocol, slot] : agent->protocolPktCollection()->protocolPkt()) {
      recorders.push_back(std::make_unique<SlotRecorder>(slot, handed));
    }
  }

  void send(const std::string& bytes, IntfId intf = et1) {
    ASSERT_TRUE(Interface::memoryPamNetwork().inject(intf, bytes)) << intf;
    loop.runUntilIdle();
  }

  // Every non-zero counter of `intf`.
  Counts counts(IntfId intf = et1) const {
    Counts out;
    auto intfCounter = agent->status()->counter()->intfCounter(intf);
    if (!intfCounter) return out;
    for (const auto& [level, md] : intfCounter->mdCounter()) {
      for (const auto& [op, opc] : md->opCodeCounter()) {
        for (const auto& [id, value] : opc->counter()) {
          if (value) out[{level.value(), int(op), CfmAgent::stringValue(id)}] = value;
        }
      }
    }
    return out;
  }

  Kiln::EventLoop& loop = Kiln::eventLoop();
  Kiln::Ptr<Orbis::EntityManager> manager = Kiln::make<Orbis::EntityManager>(loop);
  AgentBase::AgentRunner runner{manager};
  Kiln::Ptr<Bridging::Config> brConfig;
  Kiln::Ptr<CfmAgent::Config> config;
  Kiln::Ptr<Interface::AllIntfStatusDir> statusDir;
  Kiln::Ptr<Bridging::SwitchIntfConfig> port;
  Kiln::Ptr<CfmAgent::Agent> agent;
  std::vector<Handed> handed;
  std::vector<std::unique_ptr<SlotRecorder>> recorders;
};

// ---- drops, in check order

struct DropCase {
  const char* name;
  Frame frame;
  Counts expected;
  // Changes to the switchport of Ethernet1 before the frame arrives.
  std::function<void(Bridging::SwitchIntfConfig&)> portSetup = {};
  std::size_t truncateTo = 0;  // cut the frame to this many bytes
};

Frame with(std::function<void(Frame&)> edit) {
  Frame f;
  edit(f);
  return f;
}

const std::string pre = "inError";

TEST_F(ReceivePathTest, EachDropIsCountedOnceInItsBucket) {
  const std::vector<DropCase> cases = {
      {"short ethernet header", Frame{}, {{{8, 0, "in"}, 1}, {{8, 0, pre + "EthHdrTooShort"}, 1}}, {}, 13},
      {"multicast source", with([](Frame& f) { f.src = std::string("\x01\x00\x5e\x00\x00\x01", 6); }),
       {{{8, 0, "in"}, 1}, {{8, 0, pre + "SrcMacNotUnicast"}, 1}}},
      {"routed port", Frame{}, {{{8, 0, "in"}, 1}, {{8, 0, pre + "IntfModeExcluded"}, 1}},
       [](auto& p) { p.modeIs(Bridging::switchIntfModeRouted); }},
      {"outer tag cut short", Frame{}.tag(20), {{{8, 0, "in"}, 1}, {{8, 0, pre + "VlanTagTooShort"}, 1}}, {},
       16},
      {"inner tag cut short", Frame{}.tag(20).tag(30), {{{8, 0, "in"}, 1}, {{8, 0, pre + "VlanTagTooShort"}, 1}},
       {}, 20},
      {"priority tag, no port vlan", Frame{}.tag(0x6000),
       {{{8, 0, "in"}, 1}, {{8, 0, pre + "NoBridgingVlan"}, 1}},
       [](auto& p) { p.portVlanIs(Lumen::VlanIdOrNone()); }},
      {"untagged, no port vlan", Frame{}, {{{8, 0, "in"}, 1}, {{8, 0, pre + "NoBridgingVlan"}, 1}},
       [](auto& p) { p.portVlanIs(Lumen::VlanIdOrNone()); }},
      {"reserved vlan 4095 on a trunk", Frame{}.tag(4095),
       {{{8, 0, "in"}, 1}, {{8, 0, pre + "NoBridgingVlan"}, 1}}},
      {"foreign tpid is no tag", Frame{}.tag(20),
       {{{8, 0, "in"}, 1}, {{8, 0, pre + "NotCfmEtherType"}, 1}}, [](auto& p) { p.tpidIs(0x88a8); }},
      {"ipv4", with([](Frame& f) { f.etherType = 0x0800; }),
       {{{8, 0, "in"}, 1}, {{8, 0, pre + "NotCfmEtherType"}, 1}}},
      {"cfm header cut short", Frame{}, {{{8, 0, "in"}, 1}, {{8, 0, pre + "CfmHdrTooShort"}, 1}}, {}, 17},
      // From here the header is known: the level is the header's, the opcode 0 until accepted.
      {"opcode 0", with([](Frame& f) { f.opCode = 0; }),
       {{{8, 0, "in"}, 1}, {{3, 0, pre + "UnsupportedOpCode"}, 1}}},
      {"opcode 6", with([](Frame& f) { f.opCode = 6; f.level = 4; }),
       {{{8, 0, "in"}, 1}, {{4, 0, pre + "UnsupportedOpCode"}, 1}}},
      // From here the frame's `in` has moved to its level and opcode.
      {"ltm to the ccm address", with([](Frame& f) { f.opCode = 5; f.firstTlvOffset = 17; }),
       {{{3, 5, "in"}, 1}, {{3, 5, pre + "DstMacOpCodeMismatch"}, 1}}},
      {"ltm to the level-3 address, header level 4",
       with([](Frame& f) {
         f.dst = std::string("\x01\x80\xc2\x00\x00\x3b", 6);
         f.opCode = 5;
         f.level = 4;
         f.firstTlvOffset = 17;
       }),
       {{{4, 5, "in"}, 1}, {{4, 5, pre + "DstMacMdLevelMismatch"}, 1}}},
      {"level not configured",
       with([](Frame& f) { f.dst = std::string("\x01\x80\xc2\x00\x00\x32", 6); f.level = 2; }),
       {{{2, 1, "in"}, 1}, {{2, 1, pre + "NoMpAtMdLevel"}, 1}}},
      {"level without default mip",
       with([](Frame& f) { f.dst = std::string("\x01\x80\xc2\x00\x00\x35", 6); f.level = 5; }),
       {{{5, 1, "in"}, 1}, {{5, 1, pre + "NoMpAtMdLevel"}, 1}}},
      {"first tlv offset past the end", with([](Frame& f) { f.firstTlvOffset = 76; }),
       {{{3, 1, "in"}, 1}, {{3, 1, pre + "FirstTlvOffsetTooLarge"}, 1}}},
      {"ccm first tlv offset 69", with([](Frame& f) { f.firstTlvOffset = 69; }),
       {{{3, 1, "in"}, 1}, {{3, 1, pre + "FirstTlvOffsetTooSmall"}, 1}}},
      {"lbm first tlv offset 3", with([](Frame& f) { f.dst = hostMac; f.opCode = 3; f.firstTlvOffset = 3; }),
       {{{3, 3, "in"}, 1}, {{3, 3, pre + "FirstTlvOffsetTooSmall"}, 1}}},
      {"lbr first tlv offset 3", with([](Frame& f) { f.dst = hostMac; f.opCode = 2; f.firstTlvOffset = 3; }),
       {{{3, 2, "in"}, 1}, {{3, 2, pre + "FirstTlvOffsetTooSmall"}, 1}}},
      {"ltr first tlv offset 5", with([](Frame& f) { f.dst = hostMac; f.opCode = 4; f.firstTlvOffset = 5; }),
       {{{3, 4, "in"}, 1}, {{3, 4, pre + "FirstTlvOffsetTooSmall"}, 1}}},
      {"ltm first tlv offset 16",
       with([](Frame& f) { f.dst = std::string("\x01\x80\xc2\x00\x00\x3b", 6); f.opCode = 5; f.firstTlvOffset = 16; }),
       {{{3, 5, "in"}, 1}, {{3, 5, pre + "FirstTlvOffsetTooSmall"}, 1}}},
  };
  start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    // Each case runs on a fresh switchport and counter tree.
    trunkPortIs();
    if (c.portSetup) c.portSetup(*port);
    agent->status()->counter()->intfCounterDelAll();
    std::string bytes = c.frame.bytes();
    if (c.truncateTo) bytes.resize(c.truncateTo);
    send(bytes);
    EXPECT_EQ(counts(), c.expected);
    EXPECT_TRUE(handed.empty());
    handed.clear();
  }
}

TEST_F(ReceivePathTest, WithoutAnyDefaultMipEveryFrameIsCountedAndDropped) {
  for (int level : {3, 4}) config->mdConfigIs(Cfm::MdLevel(level))->defaultMipIs(false);
  start();
  send(Frame{}.bytes());
  send("\x01\x02");  // not even a header
  EXPECT_EQ(counts(), (Counts{{{8, 0, "in"}, 2}, {{8, 0, pre + "MipNotConfigured"}, 2}}));
  EXPECT_TRUE(handed.empty());
  // The configuration is read per frame: the next one gets through.
  config->mdConfigIs(Cfm::MdLevel(3))->defaultMipIs(true);
  send(Frame{}.bytes());
  EXPECT_EQ(handed.size(), 1u);
}

TEST_F(ReceivePathTest, AFrameWithoutSwitchportSettingsIsDroppedAsExcluded) {
  const IntfId et9("Ethernet9");
  statusDir->intfStatusIs(et9, "veth9");
  start();
  send(Frame{}.bytes(), et9);
  EXPECT_EQ(counts(et9), (Counts{{{8, 0, "in"}, 1}, {{8, 0, pre + "IntfModeExcluded"}, 1}}));
}

// ---- hand-off

struct HandOffCase {
  const char* name;
  Frame frame;
  std::function<void(Bridging::SwitchIntfConfig&)> portSetup;
  std::uint16_t vlan;
  std::vector<std::uint16_t> vids;
};

TEST_F(ReceivePathTest, TheRecordCarriesTheResolvedVlanAndItsTags) {
  auto trunk = [](Bridging::SwitchIntfConfig&) {};
  auto access = [](Bridging::SwitchIntfConfig& p) { p.modeIs(Bridging::switchIntfModeAccess); };
  auto xlate = [](std::vector<std::tuple<int, int, int>> rows) {
    return [rows](Bridging::SwitchIntfConfig& p) {
      for (auto [o, i, v] : rows) {
        p.ingressVlanXlateIs({std::uint16_t(o), std::uint16_t(i)}, {std::uint16_t(v), 0});
      }
    };
  };
  const std::vector<HandOffCase> cases = {
      {"access, untagged", Frame{}, access, 10, {}},
      {"access keeps the port vlan and the tag", Frame{}.tag(20), access, 10, {20}},
      {"trunk, untagged", Frame{}, trunk, 10, {}},
      {"trunk, priority tag", Frame{}.tag(0xa000), trunk, 10, {0}},
      {"trunk, tag", Frame{}.tag(20), trunk, 20, {20}},
      {"trunk, pcp and dei do not change the vlan", Frame{}.tag(0xf000 | 20), trunk, 20, {20}},
      {"single tag mapped", Frame{}.tag(100), xlate({{100, 0, 300}}), 300, {100}},
      {"double tag mapped", Frame{}.tag(100).tag(200), xlate({{100, 200, 400}, {100, 0, 300}}), 400, {100, 200}},
      {"double tag, single mapped", Frame{}.tag(100).tag(200), xlate({{100, 0, 300}}), 300, {100, 200}},
      {"double tag, unmapped", Frame{}.tag(100).tag(200), trunk, 100, {100, 200}},
      {"inner 4095 is harmless", Frame{}.tag(100).tag(4095), trunk, 100, {100, 4095}},
      {"access port ignores 4095", Frame{}.tag(4095), access, 10, {4095}},
      {"service tpid outer, 0x8100 inner", Frame{}.tag(100, 0x88a8).tag(200),
       [](auto& p) { p.tpidIs(0x88a8); }, 100, {100, 200}},
      {"0x88a8 inner tag is not looked for", Frame{}.tag(100), trunk, 100, {100}},
  };
  start();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    trunkPortIs();
    c.portSetup(*port);
    handed.clear();
    send(c.frame.bytes());
    ASSERT_EQ(handed.size(), 1u);
    const auto& h = handed[0];
    EXPECT_EQ(h.vlan, c.vlan);
    EXPECT_EQ(h.vids, c.vids);
    EXPECT_EQ(h.cfmOffset, int(14 + 4 * c.vids.size()));
    EXPECT_TRUE(h.cfmHdrAtBegin);
    EXPECT_TRUE(h.ethHdrAtFront);
    EXPECT_TRUE(h.ingress);
    EXPECT_EQ(h.intf, et1);
  }
}

TEST_F(ReceivePathTest, EachOpcodeGoesToItsProtocolsSlot) {
  start();
  const std::vector<std::tuple<std::uint8_t, std::uint8_t, std::string, Cfm::Protocol>> rows = {
      {1, 70, std::string("\x01\x80\xc2\x00\x00\x33", 6), Cfm::protocolContinuityCheck},
      {2, 4, hostMac, Cfm::protocolLoopback},
      {3, 4, hostMac, Cfm::protocolLoopback},
      {4, 6, hostMac, Cfm::protocolLinktrace},
      {5, 17, std::string("\x01\x80\xc2\x00\x00\x3b", 6), Cfm::protocolLinktrace},
  };
  for (const auto& [op, offset, dst, protocol] : rows) {
    SCOPED_TRACE(int(op));
    handed.clear();
    Frame f;
    f.opCode = op;
    f.firstTlvOffset = offset;
    f.dst = dst;
    f.cfmBytes = 4 + offset;  // offset at its bound: exactly the fixed part
    send(f.bytes());
    ASSERT_EQ(handed.size(), 1u);
    EXPECT_EQ(handed[0].protocol, protocol);
    EXPECT_EQ(handed[0].opCode, op);
    EXPECT_EQ(handed[0].hdrOpCode, op);
  }
  // Every frame moved its `in` off (interface, 8, 0).
  const Counts expected = {{{3, 1, "in"}, 1}, {{3, 2, "in"}, 1}, {{3, 3, "in"}, 1}, {{3, 4, "in"}, 1},
                           {{3, 5, "in"}, 1}};
  Counts got = counts();
  EXPECT_EQ(got, expected);
  EXPECT_EQ(agent->status()->counter()->intfCounter(et1)->mdCounter(Cfm::MdLevel())->opCodeCounter(
                Cfm::opCodeNone)->counter(CfmAgent::CounterId::in_),
            0u);
}

TEST_F(ReceivePathTest, FirstTlvOffsetIsBoundedByTheCfmBytes) {
  start();
  for (auto [offset, accepted] : {std::pair{74, true}, {75, true}, {76, false}}) {
    SCOPED_TRACE(offset);
    handed.clear();
    Frame f;
    f.firstTlvOffset = std::uint8_t(offset);
    send(f.bytes());  // 75 CFM bytes
    EXPECT_EQ(handed.size(), accepted ? 1u : 0u);
  }
}

// Whatever arrives, every frame is counted `in` exactly once and then either dropped with
// exactly one in-error counter or handed over; nothing reads outside the frame (the
// sanitizer build watches that).
TEST_F(ReceivePathTest, MangledFramesAreEachCountedOnceAndNeverCrash) {
  port->ingressVlanXlateIs({100, 0}, {300, 0});
  start();
  std::mt19937 random(7);
  const std::vector<std::string> templates = {
      Frame{}.bytes(), Frame{}.tag(100).bytes(), Frame{}.tag(100).tag(200).bytes(),
      with([](Frame& f) { f.opCode = 5; f.firstTlvOffset = 17; f.dst = std::string("\x01\x80\xc2\x00\x00\x3b", 6); })
          .bytes()};
  const int frames = 3000;
  for (int i = 0; i < frames; ++i) {
    std::string bytes = templates[random() % templates.size()];
    for (int flips = random() % 4; flips > 0; --flips) bytes[random() % bytes.size()] = char(random());
    if (random() % 3 == 0) bytes.resize(random() % (bytes.size() + 1));
    ASSERT_TRUE(Interface::memoryPamNetwork().inject(et1, bytes));
    loop.runUntilIdle();
  }
  std::uint64_t in = 0, inErrors = 0;
  for (const auto& [key, value] : counts()) {
    const auto& name = std::get<2>(key);
    if (name == "in") in += value;
    if (name.rfind("inError", 0) == 0) inErrors += value;
  }
  EXPECT_EQ(in, std::uint64_t(frames));
  EXPECT_EQ(inErrors + handed.size(), std::uint64_t(frames));
  EXPECT_GT(handed.size(), 0u);
  EXPECT_GT(inErrors, 0u);
}

TEST_F(ReceivePathTest, FramesWaitingAreTakenOneARoundUntilNoneIsLeft) {
  start();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(Interface::memoryPamNetwork().inject(et1, Frame{}.bytes()));
  loop.runOnce(0);
  EXPECT_EQ(handed.size(), 1u);
  loop.runUntilIdle();
  EXPECT_EQ(handed.size(), 5u);
  EXPECT_EQ(agent->pktHelper()->pktId(), 5u);
}

// ---- traces

TEST_F(ReceivePathTest, DropAndMismatchTracesReadAsOperatorsExpect) {
  std::vector<std::string> lines;
  auto previous = Kiln::traceSinkIs([&](const Kiln::TraceHandle& h, unsigned level, std::string_view text) {
    if (h.name() == "CfmPam" && level <= 7) lines.emplace_back(text);
  });
  Kiln::traceSettingIs("CfmPam/5,7");
  start();
  send(with([](Frame& f) { f.src = std::string("\x01\x00\x5e\x00\x00\x01", 6); }).bytes());
  send(with([](Frame& f) { f.opCode = 5; f.firstTlvOffset = 17; }).bytes());
  send(with([](Frame& f) {
         f.dst = std::string("\x01\x80\xc2\x00\x00\x3b", 6);
         f.opCode = 5;
         f.level = 4;
         f.firstTlvOffset = 17;
       }).bytes());
  send(with([](Frame& f) { f.firstTlvOffset = 69; }).bytes());
  Kiln::traceSettingIs("");
  Kiln::traceSinkIs(previous);
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "PktId: 1 Expr: srcMac Value: 01:00:5e:00:00:01",
                       "Bridging vlan = 10",
                       "Multicast address corresponds to opCodeCcm but opCode field is opCodeLtm",
                       "Bridging vlan = 10",
                       "Multicast address corresponds to mdLevel 3but CfmHdr mdLevel is \x04",
                       "Bridging vlan = 10",
                       "PktId: 4 Expr: cfmHdr->firstTlvOffset() Value: E",
                   }));
}

// ---- interfaces, sockets and machines

TEST_F(ReceivePathTest, EthernetAndPortChannelInterfacesGetSocketsAndMachines) {
  for (const char* name : {"Port-Channel1", "Vlan10", "Management1", "Ethernet2"}) {
    statusDir->intfStatusIs(IntfId(name), "");
  }
  start();
  std::vector<std::string> desired, machines;
  for (const auto& [intf, d] : agent->pamDesiredIntfDir()->intfDesired()) desired.push_back(intf.stringValue());
  for (const auto& [intf, sm] : agent->pamSm()->pamIntfSm()) machines.push_back(intf.stringValue());
  const std::vector<std::string> eligible = {"Ethernet1", "Ethernet2", "Port-Channel1"};
  EXPECT_EQ(desired, eligible);
  EXPECT_EQ(machines, eligible);
  EXPECT_FALSE(Interface::memoryPamNetwork().isOpen(IntfId("Vlan10")));

  // A port-channel takes frames like any Ethernet interface.
  brConfig->switchIntfConfigIs(IntfId("Port-Channel1"))->portVlanIs(Lumen::VlanIdOrNone(10));
  send(Frame{}.bytes(), IntfId("Port-Channel1"));
  ASSERT_EQ(handed.size(), 1u);
  EXPECT_EQ(handed[0].intf, IntfId("Port-Channel1"));

  // Gone and back: the socket closes with its machine, a new pair comes.
  auto before = agent->pamSm()->pamIntfSm(IntfId("Ethernet2"));
  statusDir->intfStatusDel(IntfId("Ethernet2"));
  EXPECT_FALSE(agent->pamDesiredIntfDir()->intfDesired(IntfId("Ethernet2")));
  EXPECT_FALSE(agent->pamSm()->pamIntfSm(IntfId("Ethernet2")));
  EXPECT_FALSE(Interface::memoryPamNetwork().isOpen(IntfId("Ethernet2")));
  statusDir->intfStatusIs(IntfId("Ethernet2"), "");
  auto after = agent->pamSm()->pamIntfSm(IntfId("Ethernet2"));
  ASSERT_TRUE(after);
  EXPECT_NE(after, before);
}

TEST_F(ReceivePathTest, AMachineStaysBoundToItsSocket) {
  start();
  auto pamSm = agent->pamSm();
  auto sm = pamSm->pamIntfSm(et1);
  ASSERT_TRUE(sm);
  pamSm->handlePam(et1);  // the same socket again
  EXPECT_EQ(pamSm->pamIntfSm(et1), sm);
  EXPECT_EQ(pamSm->pamIntfSm().size(), 1u);

  auto other = Kiln::make<Interface::EthDevPam>(et1);
  try {
    pamSm->pamIntfSmIs(et1, other);
    FAIL() << "a second socket was accepted";
  } catch (const Kiln::NameInUseException& e) {
    EXPECT_EQ(std::string(e.what()),
              "Reinstantiating the pointer interface where constructor parameter attribute _pam has a "
              "different value of " + Kiln::textOf(other) + " than the current value of " +
                  Kiln::textOf(sm->pam()) + " not allowed");
  }
  EXPECT_EQ(pamSm->pamIntfSm(et1), sm);
}

TEST_F(ReceivePathTest, ASocketOfAnotherKindFailsItsAssertion) {
  struct OtherPam : Interface::Pam {
    OtherPam() : Interface::Pam(IntfId("Ethernet3")) {}
  };
  start();
  Kiln::ThrowingAssertionScope scope;
  try {
    agent->ethDevPamCollection()->intfPamIs(IntfId("Ethernet3"), Kiln::make<OtherPam>());
    FAIL() << "no assertion";
  } catch (const Kiln::AssertionFailure& e) {
    EXPECT_STREQ(e.what(), "ethPam");
  }
}

TEST_F(ReceivePathTest, AMachineWithoutSocketTracesAndReadsNothing) {
  std::vector<std::string> lines;
  auto previous = Kiln::traceSinkIs([&](const Kiln::TraceHandle& h, unsigned, std::string_view text) {
    if (h.name() == "CfmPam") lines.emplace_back(text);
  });
  Kiln::traceSettingIs("CfmPam/1");
  start();
  auto sm = CfmAgent::pamIntfSmFactory(IntfId("Ethernet4"), nullptr, agent->pamSm().get());
  sm->handlePamReadable();
  Kiln::traceSettingIs("");
  Kiln::traceSinkIs(previous);
  EXPECT_EQ(lines, std::vector<std::string>{"handlePamReadable no pam found"});
  EXPECT_EQ(agent->pktHelper()->pktId(), 0u);
}

// IntfSm on its own: what an earlier run left in the desired directory.
TEST(IntfSmTest, StaleDesiredEntriesGoAtStart) {
  auto all = Kiln::make<Interface::AllIntfStatusDir>();
  auto desired = Kiln::make<Interface::PamDesiredIntfDir>("pdid");
  all->intfStatusIs(IntfId("Ethernet1"), "");
  desired->intfDesiredIs(IntfId("Ethernet1"), true);
  desired->intfDesiredIs(IntfId("Ethernet5"), true);
  desired->intfDesiredIs(IntfId("Port-Channel2"), true);
  auto sm = CfmAgent::intfSmFactory(all, desired);
  EXPECT_EQ(desired->intfDesired(), (std::map<IntfId, bool>{{IntfId("Ethernet1"), true}}));
  EXPECT_TRUE(sm->initialized());
}

}  // namespace
