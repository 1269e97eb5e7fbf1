// The frame record (its counts, TLV walk, direction and layer-2 encapsulation), then the
// receive path of the whole agent.

#include <gtest/gtest.h>

#include "CfmAgent/PktHelper.h"
#include "tests/CfmAgent/AgentFixture.h"
#include "tests/support/ErrorText.h"

namespace {

using namespace AgentTest;

class PktRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {  // a socket on Ethernet1 only
    manager->enabledIs(true);
    desired->intfDesiredIs(et1, true);
  }
  Counts counts(IntfId intf = et1) const { return intfCounts(*helper->counter(), intf); }
  // An LBM at MD level 5 followed by `tlvs`: Ethernet header 0-13, common header 14-17,
  // transaction id 18-21, the first TLV at 22 (offset 4).
  static std::string lbm(const std::string& tlvs) {
    return std::string(12, '\x02') + "\x89\x02" + std::string("\xa0\x03\x00\x04\x00\x00\x00\x07", 8) + tlvs;
  }
  // A received frame as the receive path leaves it, in a heap block of its own size: the
  // sanitizer build reports a walk past its end.
  Kiln::Ptr<PktMetaData> received(const std::string& bytes) {
    auto pkt = Lumen::pktManager().newPkt();
    pkt->bytesIs({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, false, false);
    auto record = pktMetaDataFactory(1, pkt, et1, true, nullptr, pktCounterHelperFactory(helper));
    record->incrPktCounter(CounterId::in_);
    record->ethHdrIs(Lumen::overlayAt<Lumen::EthHdr>(pkt->frontSpan(), 0));
    record->cfmHdrIs(Lumen::overlayAt<CFMCommonHeader>(pkt->frontSpan(), 14));
    record->opCodeIs(Cfm::opCodeLbm);
    record->incrPktCounter(CounterId::in_);
    return record;
  }

  Kiln::Ptr<CounterHelper> helper = counterHelperFactory(Kiln::make<Counter>());
  Kiln::Ptr<Interface::PamDesiredIntfDir> desired = Kiln::make<Interface::PamDesiredIntfDir>("pdid");
  Kiln::Ptr<Interface::EthDevPamCollection> pams = Kiln::make<Interface::EthDevPamCollection>("edpc");
  Kiln::Ptr<Interface::EthDevPamManager> manager = Kiln::make<Interface::EthDevPamManager>(desired, pams, nullptr);
};

TEST_F(PktRecordTest, ClearBetweenTheTwoInCountsTakesNothingBack) {
  auto early = pktCounterHelperFactory(helper);
  early->incrCounter(et1, none, Cfm::opCodeNone, CounterId::in_);
  // A clear deletes the counts and moves the version on; a later frame counts afresh.
  helper->counter()->intfCounterDelAll();
  helper->invalidMdOpCodeInCounterIdClearVersionInc();
  auto late = pktCounterHelperFactory(helper);
  late->incrCounter(et1, none, Cfm::opCodeNone, CounterId::in_);
  early->incrCounter(et1, Cfm::MdLevel(3), Cfm::opCodeLbm, CounterId::in_);
  EXPECT_EQ(counts(), (Counts{{{8, 0, "in"}, 1}, {{3, 3, "in"}, 1}}));  // the late frame's `in` still at (8, 0)
  late->incrCounter(et1, Cfm::MdLevel(3), Cfm::opCodeLbm, CounterId::in_);
  EXPECT_EQ(counts(), (Counts{{{3, 3, "in"}, 2}}));
}

// A frame's counts in the order the callers keep, and two ways of breaking it (the other
// guards are one-line checks of the same kind).
TEST_F(PktRecordTest, CallerInvariantsAreAssertions) {
  struct Step { Cfm::MdLevel level; Cfm::OpCode op; CounterId id; };
  const Step in{none, Cfm::opCodeNone, CounterId::in_}, lbm{Cfm::MdLevel(5), Cfm::opCodeLbm, CounterId::in_},
      lbr{Cfm::MdLevel(5), Cfm::opCodeLbr, CounterId::out_};
  const std::pair<std::vector<Step>, const char*> rows[] = {  // the last step fails, unless ""
      // A debug count on the way changes nothing of the order: the reply still counts out.
      {{in, lbm, {Cfm::MdLevel(5), Cfm::opCodeLbm, CounterId::debugUnsupportedMdNameFormat_}, lbr}, ""},
      // A frame is counted out or out-error, never both; `in` moves on once, never twice.
      {{in, lbm, lbr, {Cfm::MdLevel(5), Cfm::opCodeLbr, CounterId::outErrorNoPam_}},
       "counterClass > incrCounterCounterClass( lastIncrCounterId() )"},
      {{in, lbm, lbm}, "inCounterIdIncrCount() <= 1"},
  };
  for (const auto& [steps, assertion] : rows) {
    SCOPED_TRACE(assertion);
    helper->counter()->intfCounterDelAll();
    auto f = pktCounterHelperFactory(helper);
    EXPECT_EQ(errorOf([&] { for (const Step& s : steps) f->incrCounter(et1, s.level, s.op, s.id); }), assertion);
    if (*assertion) continue;
    // `in` moved to its level and opcode
    EXPECT_EQ(counts(), (Counts{{{5, 3, "in"}, 1}, {{5, 3, "debugUnsupportedMdNameFormat"}, 1}, {{5, 2, "out"}, 1}}));
  }
}

// The chain cut at every length: the walk goes only as far as asked, finds what is whole,
// counts a cut TLV once however often asked, and stops at the End TLV or the frame's end.
TEST_F(PktRecordTest, EveryCutOfATlvChainIsCountedOnce) {
  // Sender ID at 22, Data at 27, End at 33
  const std::string whole = lbm(std::string("\x01\x00\x02sx" "\x03\x00\x03" "abc" "\x00" "\x05pad", 16));
  for (std::size_t n = 18; n <= whole.size(); ++n) {
    SCOPED_TRACE(testing::Message() << n << " bytes");
    helper->counter()->intfCounterDelAll();
    auto record = received(whole.substr(0, n));
    const char* error = n < 22                            ? "inErrorFirstTlvOffsetTooLarge"
                        : n == 22 || n == 27 || n >= 33   ? nullptr
                        : n < 25 || (n > 27 && n < 30)    ? "inErrorTlvHdrTruncated"
                                                          : "inErrorTlvLenTooLarge";
    // Where a found TLV lies, and its whole length.
    auto found = [&](TlvType type) { return std::pair(record->tlv(type).data(), record->tlv(type).size()); };
    using Found = std::pair<std::uint8_t*, std::size_t>;
    EXPECT_EQ(found(tlvTypeData), n >= 33 ? Found(record->pktFront() + 27, 6) : Found());
    EXPECT_EQ(record->tlvQ().size(), std::size_t(n >= 33 ? 2 : n >= 27 ? 1 : 0));
    EXPECT_TRUE(record->tlv(tlvTypeLtrReplyIngress).empty());  // the pad's first byte
    EXPECT_EQ(found(tlvTypeSenderId), n >= 27 ? Found(record->pktFront() + 22, 5) : Found());
    EXPECT_EQ(record->tlvQ().size(), std::size_t(n >= 34 ? 3 : n >= 33 ? 2 : n >= 27 ? 1 : 0));
    EXPECT_EQ(record->tlvParseError(), error != nullptr);
    EXPECT_EQ(record->tlvParseDone(), error == nullptr);
    EXPECT_EQ(counts(), (error ? Counts{{{5, 3, "in"}, 1}, {{5, 3, error}, 1}} : Counts{{{5, 3, "in"}, 1}}));
    record->tlvDel(tlvTypeSenderId);
    EXPECT_TRUE(record->tlv(tlvTypeSenderId).empty());  // deleted stays hidden
  }
}

// A received record neither sends nor counts out; a record to send counts no in-errors, and
// goes out only where there is a socket (Ethernet1) and its Ethernet header comes first: at
// the begin offset, or for a copy at the frame's front.
TEST_F(PktRecordTest, ARecordSendsAndCountsOnlyInItsDirection) {
  const std::string lbmEnd = lbm(std::string(1, '\0'));
  auto in = received(lbmEnd);
  EXPECT_EQ(errorOf([&] { in->sendPkt(); }), "!ingress()");
  EXPECT_EQ(errorOf([&] { in->incrPktCounter(CounterId::out_); }),
            "counterClass == CounterClass::counterClassIn_ || counterClass == "
            "CounterClass::counterClassInError_ || counterClass == CounterClass::counterClassDebug_");
  struct Row { IntfId intf; std::int16_t beginOffset; bool copy, sent; };
  const Row rows[] = {{et2, 0, true, false}, {et1, 14, false, false},
                      {et1, 14, true, true}};  // a loopback reply: begin offset still at the LBM
  for (const Row& r : rows) {
    SCOPED_TRACE(&r - rows);
    helper->counter()->intfCounterDelAll();
    Interface::memoryPamNetwork().sentClear();
    const auto frame = Lumen::pktManager().newShallowCopy(in->pkt());
    frame->beginOffsetIs(r.beginOffset);
    auto out = pktMetaDataFactory(2, frame, r.intf, false, pams, pktCounterHelperFactory(helper));
    out->ethHdrIs(in->ethHdr());
    out->opCodeIs(Cfm::opCodeLbr);
    out->sendPktCopyIs(r.copy);
    out->sendPkt();
    EXPECT_EQ(out->pkt() != frame, r.sent && r.copy);
    EXPECT_EQ(errorOf([&] { out->tlvDel(tlvTypeData); }), "ingress()");
    EXPECT_EQ(errorOf([&] { out->incrPktCounter(CounterId::inErrorPduTooShort_); }),
              "counterClass == CounterClass::counterClassOut_ || counterClass == CounterClass::counterClassOutError_");
    const auto& sent = Interface::memoryPamNetwork().sent();
    EXPECT_TRUE(r.sent ? sent.size() == 1 && sent[0].intf == et1 && sent[0].bytes == lbmEnd : sent.empty());
    EXPECT_EQ(counts(r.intf), (Counts{{{8, 2, r.sent ? "out" : "outErrorNoPam"}, 1}}));
  }
}

// A frame for VLAN 20 on Ethernet1, as each switchport setting wants it tagged; without
// switchport settings it has nowhere to go, and sent anyway it is counted, not sent. Records
// are numbered; only received ones count in. (Two tags under the service TPID, and a port's
// TPID 0 written as 0x8100, are in LinktraceTest's byte-by-byte relay and reply.)
TEST_F(PktRecordTest, EncapsulationFollowsTheEgressPort) {
  const std::string addrs("\x00\x11\x22\x33\x44\x55\x00\x1c\x73\x00\x00\x01", 12);
  const std::string pdu("\x60\x04\x00\x06", 4);  // an LTR's common header
  // The egress mapping is that of (20, 0); `l2` is what follows the two addresses.
  struct Row { const char* what; Bridging::SwitchIntfMode mode; std::uint16_t portVlan, tpid;
               Bridging::VlanXlateMapping mapping; std::string l2; };
  const auto trunk = Bridging::switchIntfModeTrunk;
  const Row rows[] = {
      {"access port", Bridging::switchIntfModeAccess, 10, 0x88a8, {20, 0}, "\x89\x02"},
      {"trunk, VLAN 20", trunk, 10, 0x88a8, {20, 0}, std::string("\x88\xa8\x00\x14\x89\x02", 6)},
      {"trunk, native VLAN 20", trunk, 20, 0x88a8, {20, 0}, "\x89\x02"},
      {"trunk, native outer tag left out", trunk, 100, 0x88a8, {100, 30}, std::string("\x88\xa8\x00\x1e\x89\x02", 6)},
      {"trunk, no mapping", trunk, 10, 0x88a8, {0, 0}, "\x89\x02"},
      {"no switchport settings", trunk, 10, 0, {20, 0}, ""},
  };
  PktHelper pktHelper{pams, helper};
  for (const Row& r : rows) {
    SCOPED_TRACE(r.what);
    auto brConfig = Kiln::make<Bridging::Config>();
    if (!r.l2.empty()) {
      auto port = brConfig->switchIntfConfigIs(et1);
      port->modeIs(r.mode);
      port->portVlanIs(Lumen::VlanIdOrNone(r.portVlan));
      port->tpidIs(r.tpid);
      if (!r.mapping.isNone()) port->egressVlanXlateIs(Bridging::VlanXlateKey{20, 0}, r.mapping);
    }
    auto pkt = Lumen::pktManager().newPkt();
    std::copy_n(pdu.data(), 4, pkt->newSharedHeadData(4));
    auto record = pktHelper.newPktMetaData(pkt, et1, false);
    EXPECT_EQ(pktHelper.encapL2Layer(pkt, *record, et1, Lumen::EthAddr(0x00, 0x11, 0x22, 0x33, 0x44, 0x55),
                                     Lumen::EthAddr(0x00, 0x1c, 0x73, 0x00, 0x00, 0x01), Lumen::VlanId(20), brConfig),
              !r.l2.empty());
    EXPECT_EQ(pkt->stringValue(), r.l2.empty() ? pdu : addrs + r.l2 + pdu);
    Interface::memoryPamNetwork().sentClear();
    record->sendPkt();
    const auto& sent = Interface::memoryPamNetwork().sent();
    EXPECT_EQ(sent.empty() ? "" : sent[0].bytes, r.l2.empty() ? "" : addrs + r.l2 + pdu);
  }
  pktHelper.newPktMetaData(Lumen::pktManager().newPkt(), et1, true);
  EXPECT_EQ(pktHelper.pktId(), std::size(rows) + 1);
  EXPECT_EQ(counts(), (Counts{{{8, 0, "in"}, 1}, {{8, 0, "out"}, std::size(rows) - 1}, {{8, 0, "outErrorNoPam"}, 1}}));
}

// ---- The whole agent

// This suite watches the hand-off alone: the engines' own checks have theirs.
struct ReceivePathTest : AgentFixture { ReceivePathTest() { engines = false; } };

// Each drop reason once, as the only fault or as the first of two; the prefix table below
// has those of frames cut short.
TEST_F(ReceivePathTest, EachDropIsCountedOnceInItsBucket) {
  const PortSetup noMip = [&](auto&) { for (int l : {3, 4}) config->mdConfigIs(Cfm::MdLevel(l))->defaultMipIs(false); };
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
      {"ltm to level 3's address, level 4", frame(pdu(4, 5, 17), ltmGroup(3)), dropped(4, 5, "DstMacMdLevelMismatch")},
      {"level without default mip", frame(ccm(5, 1), ccmGroup(5)), dropped(5, 1, "NoMpAtMdLevel")},
      {"ccm, first tlv offset 69", frame(pdu(3, 1, 69, 74)), dropped(3, 1, "FirstTlvOffsetTooSmall")},
      {"lbm, first tlv offset 3", frame(pdu(3, 3, 3, 8), hostB), dropped(3, 3, "FirstTlvOffsetTooSmall")},
      {"ltm, first tlv offset 16", frame(pdu(3, 5, 16, 21), ltmGroup(3)), dropped(3, 5, "FirstTlvOffsetTooSmall")},
      // Two faults: the first check decides.
      {"no default mip, four bytes", {"\x01\x02", "", {}, 0, ""}, dropped(8, 0, "MipNotConfigured"), noMip},
      {"multicast source, routed port", {ccmGroup(3), mac(0x01005e000001), {}, 0x8902, ccm(3, 1)},
       dropped(8, 0, "SrcMacNotUnicast"), routedPort},
      {"routed port, tag cut short", {ccmGroup(3), hostA, {}, 0x8100, ""}, dropped(8, 0, "IntfModeExcluded"), routedPort},
      {"no port vlan, ipv4", {ccmGroup(3), hostA, {}, 0x0800, ccm(3, 1)}, dropped(8, 0, "NoBridgingVlan"), noPortVlan},
      {"ipv4, one byte", {ccmGroup(3), hostA, {}, 0x0800, "\x60"}, dropped(8, 0, "NotCfmEtherType")},
      {"opcode 6, level not configured", frame(pdu(2, 6, 70), ccmGroup(2)), dropped(2, 0, "UnsupportedOpCode")},
      {"ltm to a ccm address, level unset", frame(pdu(2, 5, 17), ccmGroup(2)), dropped(2, 5, "DstMacOpCodeMismatch")},
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

// Each frame shape, its first TLV offset the least of its opcode, cut at every length: every
// prefix is counted `in` once and dropped once for the first part it lacks; the whole frame is
// handed to its protocol with the VLAN its tags resolve to.
TEST_F(ReceivePathTest, EveryPrefixOfAFrameIsCountedOnceForWhatItLacks) {
  using U16 = std::uint16_t;
  auto xlate = [](std::vector<std::tuple<U16, U16, U16>> rows) -> PortSetup {  // (outer, inner) -> vlan
    return [rows](auto& p) { for (auto [o, i, v] : rows) p.ingressVlanXlateIs({o, i}, {v, 0}); };
  };
  struct Shape { const char* name; Frame frame; std::uint16_t vlan; PortSetup port = {}; };
  const Shape shapes[] = {
      {"ccm, untagged", {}, 10},
      {"ccm, access ignores 4095", Frame{}.tag(4095), 10, [](auto& p) { p.modeIs(Bridging::switchIntfModeAccess); }},
      {"lbr, priority tag", frame(pdu(3, 2, 4), hostB).tag(0xa000), 10},
      {"ltr, pcp and dei do not change the vlan", frame(pdu(3, 4, 6), hostB).tag(0xf000 | 20), 20},
      {"ltm, single tag mapped", frame(pdu(3, 5, 17, 22), ltmGroup(3)).tag(100), 300, xlate({{100, 0, 300}})},
      {"ccm, double tag mapped", Frame{}.tag(100).tag(200), 400, xlate({{100, 200, 400}, {100, 0, 300}})},
      {"ccm, double tag, single mapped", Frame{}.tag(100).tag(200), 300, xlate({{100, 0, 300}})},
      {"ccm, double tag, unmapped", Frame{}.tag(100).tag(200), 100, xlate({{100, 201, 400}})},
      {"ccm, inner 4095 is harmless", Frame{}.tag(100).tag(4095), 100},
      {"lbm, service tpid outer, 0x8100 inner", frame(lbm(3, 7), hostB).tag(100, 0x88a8).tag(200), 100, serviceTpid},
  };
  const Cfm::Protocol engine[] = {{}, Cfm::protocolContinuityCheck, Cfm::protocolLoopback, Cfm::protocolLoopback,
                                  Cfm::protocolLinktrace, Cfm::protocolLinktrace};  // by opcode
  start();
  for (const Shape& s : shapes) {
    const std::string whole = s.frame.bytes();
    const std::size_t cfm = 14 + 4 * s.frame.tags.size();  // where the CFM header starts
    const int opCode = s.frame.payload[1], least = s.frame.payload[3];
    for (std::size_t n = 0; n <= whole.size(); ++n) {
      SCOPED_TRACE(testing::Message() << s.name << ", " << n << " bytes");
      fresh(s.port);
      send(whole.substr(0, n));
      const char* lacks = n < 14 ? "EthHdrTooShort" : n < cfm ? "VlanTagTooShort" : n < cfm + 4 ? "CfmHdrTooShort"
                          : n - cfm < std::size_t(least) ? "FirstTlvOffsetTooLarge" : nullptr;
      const int op = n >= cfm + 4 ? opCode : 0;  // accepted with the header
      EXPECT_EQ(counts(), (lacks ? dropped(op ? 3 : 8, op, lacks) : Counts{{{3, op, "in"}, 1}}));
      ASSERT_EQ(handed.size(), lacks ? 0u : 1u);
      if (lacks) continue;
      const auto& h = *handed[0].record;
      EXPECT_EQ(handed[0].protocol, engine[opCode]);
      EXPECT_EQ(h.vlan().value(), s.vlan);
      // The engine finds the Ethernet header at the front, the CFM header at the begin offset.
      EXPECT_EQ(h.pkt()->beginOffset(), int(cfm));
      EXPECT_EQ(reinterpret_cast<std::uint8_t*>(h.ethHdr()), h.pkt()->frontData());
      EXPECT_EQ(reinterpret_cast<std::uint8_t*>(h.cfmHdr()), h.pkt()->offsetFront());
      EXPECT_TRUE(h.ingress() && h.intf() == et1);
    }
  }
}

// A drop names its check and the offending value, as operators read them, each engine's on
// an agent of its own (frames numbered from 1). A CCM's MD name format is traced a level
// below, and one it lets through to a bad MA name has both lines.
TEST_F(AgentFixture, DropTracesNameTheCheckAndTheValue) {
  const std::string nul(1, '\0');
  struct Row { const char* setting; std::vector<std::string> frames, lines; };
  const Row rows[] = {
      {"CfmPam/5,7", {frame(pdu(3, 5, 17)).bytes(), frame(pdu(4, 5, 17), ltmGroup(3)).bytes(), frame(pdu(3, 1, 69)).bytes()},
       {"Bridging vlan = 10", "Multicast address corresponds to opCodeCcm but opCode field is opCodeLtm",
        "Bridging vlan = 10", "Multicast address corresponds to mdLevel 3but CfmHdr mdLevel is \x04",
        "Bridging vlan = 10", "PktId: 3 Expr: cfmHdr->firstTlvOffset() Value: E"}},
      {"CfmLoopback/5", {ethernet(hostB, hostA, 0, lbm(3, 7)), ethernet(bridgeMac, hostA, 0, lbm(3, 7).substr(0, 7))},
       {"PktId: 1 Expr: dstMac Value: 02:00:00:00:00:0b", "PktId: 2 Expr: offsetBytes Value: 7"}},
      {"CfmContinuityCheck/5,7",
       {frame(ccm(3, 200) + std::string(54, '\0')).bytes(), frame(ccm(3, 200, std::string(44, 'd'))).bytes(),
        frame(ccm(3, 200, "md", "", 1, 2)).bytes(), frame(ccm(3, 200, "", "ma", 1, 2)).bytes()},
       {"PktId: 1 Expr: pktMetaData->pkt()->offsetBytes() Value: 129",
        "PktId: 2 Expr: ccmPdu->mdNameLen() Value: ,",  // 44, a byte as it is
        "PktId: 3 Expr: mdNameFormat Value: mdNameFormatDnsLikeName", "PktId: 3 Expr: ccmPdu->maNameLen() Value: " + nul,
        // An MD name length that does not fit is the value: the MA length has no place.
        "PktId: 4 Expr: mdNameFormat Value: mdNameFormatDnsLikeName", "PktId: 4 Expr: ccmPdu->maNameLen() Value: " + nul}},
  };
  for (const Row& r : rows) {
    start();
    EXPECT_EQ(traced(r.setting, [&] { for (const auto& f : r.frames) send(f); }), r.lines) << r.setting;
    TearDown();
  }
}

// Sockets and machines from start to the agent's end, over what the state database held
// before the start.
TEST_F(ReceivePathTest, EthernetAndPortChannelInterfacesGetSocketsAndMachines) {
  const IntfId po1("Port-Channel1"), et7("Ethernet7");
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

  // A machine without a socket reads nothing.
  CfmAgent::pamIntfSmFactory(IntfId("Ethernet4"), nullptr, agent->pamSm().get())->handlePamReadable();
  EXPECT_EQ(agent->pktHelper()->pktId(), 3u);

  // The agent gone, its sockets are closed, those it opened for its own desires too.
  agent->pamDesiredIntfDir()->intfDesiredIs(et7, true);
  EXPECT_TRUE(Interface::memoryPamNetwork().isOpen(et7) && Interface::memoryPamNetwork().isOpen(et1));
  TearDown();
  EXPECT_FALSE(Interface::memoryPamNetwork().isOpen(et7) || Interface::memoryPamNetwork().isOpen(et1));
}

// What the runner cannot load it refuses; a mount that fails stops the agent with its
// assertion.
TEST_F(ReceivePathTest, AnAgentThatCannotStartSaysWhy) {
  EXPECT_THROW(runner.libraryIs("/nonexistent/libNothing.so"), std::runtime_error);
  runner.libraryIs(CFM_AGENT_LIBRARY);
  EXPECT_THROW(runner.agentIs("No::Such", "x"), std::runtime_error);
  EXPECT_THROW(runner.agentIs("Kiln::Dir", "x"), std::runtime_error);  // not an agent
  manager->entityIs("cfm/aleStatus", "Kiln::Dir");  // another type at a mounted path
  EXPECT_EQ(errorOf([&] { start(); }), "mountStatus == Orbis::mountSuccess_");
}

}  // namespace
