// Counting one frame, the frame record (its TLV walk over received bytes, its counting by
// direction, sending), and the layer-2 encapsulation of the frames the agent originates.

#include <gtest/gtest.h>

#include "AgentTestUtil.h"
#include "CfmAgent/PktHelper.h"
#include "platform/intf/EthDevPamManager.h"
#include "platform/intf/MemoryPam.h"

namespace {

using TestSupport::errorOf;

using namespace CfmAgent;
using AgentTest::Counts;
using Lumen::IntfId;

const IntfId et1("Ethernet1"), et2("Ethernet2");
const Cfm::MdLevel none;  // level 8: before the header is accepted

// Every named identifier reads back from its name, and its class is the one its number
// range gives: an in-error counted as debug would let a frame be dropped with no reason.
TEST(CounterId, NamesRoundTripAndClassesFollowTheNumber) {
  using enum CounterClass;
  int named = 0;
  for (std::uint32_t n = 0; n < 64; ++n) {
    const CounterId id{n};
    const std::string name = stringValue(id);
    if (name == std::to_string(n)) continue;
    ++named;
    EXPECT_EQ(counterIdFromString(name), id) << name;
    const CounterClass c = n == 0 ? counterClassIn_ : n <= 27 ? counterClassInError_ : n == 28 ? counterClassOut_
                           : n == 29 ? counterClassOutError_ : counterClassDebug_;
    EXPECT_EQ(CounterHelper::counterClass(id), c) << name;
  }
  EXPECT_EQ(named, 34);
}

class PktRecordTest : public ::testing::Test {
 protected:
  void SetUp() override {  // a socket on Ethernet1 only
    manager->enabledIs(true);
    desired->intfDesiredIs(et1, true);
    Interface::memoryPamNetwork().sentClear();
  }
  Counts counts(IntfId intf = et1) const { return AgentTest::counts(*helper->counter(), intf); }
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

// A frame's counts in the order the callers keep, and each way of breaking that order.
TEST_F(PktRecordTest, CallerInvariantsAreAssertions) {
  struct Step { Cfm::MdLevel level; Cfm::OpCode op; CounterId id; };
  const Step in{none, Cfm::opCodeNone, CounterId::in_}, lbm{Cfm::MdLevel(5), Cfm::opCodeLbm, CounterId::in_},
      lbr{Cfm::MdLevel(5), Cfm::opCodeLbr, CounterId::out_};
  const std::pair<std::vector<Step>, const char*> rows[] = {  // the last step fails, unless ""
      // A debug count on the way changes nothing of the order: the reply still counts out.
      {{in, lbm, {Cfm::MdLevel(5), Cfm::opCodeLbm, CounterId::debugUnsupportedMdNameFormat_}, lbr}, ""},
      {{in, {none, Cfm::opCodeNone, CounterId::out_}, {none, Cfm::opCodeNone, CounterId::inErrorEthHdrTooShort_}},
       "counterClass > incrCounterCounterClass( lastIncrCounterId() )"},
      // A frame is counted out or out-error, never both.
      {{in, lbm, lbr, {Cfm::MdLevel(5), Cfm::opCodeLbr, CounterId::outErrorNoPam_}},
       "counterClass > incrCounterCounterClass( lastIncrCounterId() )"},
      {{in, {none, Cfm::opCodeCcm, CounterId::in_}}, "!!mdLevel && opCode"},
      {{in, lbm, lbm}, "inCounterIdIncrCount() <= 1"},
      {{in, {none, Cfm::opCodeNone, CounterId::inErrorNoMpAtMdLevel_}, lbm}, "lastIncrCounterId() == CounterId::in_"},
      {{{Cfm::MdLevel(2), Cfm::opCodeNone, CounterId::in_}}, "!mdLevel"},
      {{{none, Cfm::opCodeLtm, CounterId::in_}}, "!opCode"},
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
// counts a cut TLV once however often it is asked, and stops at the End TLV or the frame's
// end.
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
    EXPECT_EQ(record->tlv(tlvTypeData), n >= 33 ? record->pktFront() + 27 : nullptr);
    EXPECT_EQ(record->tlvQ().size(), std::size_t(n >= 33 ? 2 : n >= 27 ? 1 : 0));
    EXPECT_EQ(record->tlv(tlvTypeLtrReplyIngress), nullptr);  // the pad's first byte
    EXPECT_EQ(record->tlv(tlvTypeSenderId), n >= 27 ? record->pktFront() + 22 : nullptr);
    EXPECT_EQ(record->tlvQ().size(), std::size_t(n >= 34 ? 3 : n >= 33 ? 2 : n >= 27 ? 1 : 0));
    EXPECT_EQ(record->tlvParseError(), error != nullptr);
    EXPECT_EQ(record->tlvParseDone(), error == nullptr);
    Counts expected = {{{5, 3, "in"}, 1}};
    if (error) expected[{5, 3, error}] = 1;
    EXPECT_EQ(counts(), expected);
    record->tlvDel(tlvTypeSenderId);
    EXPECT_EQ(record->tlv(tlvTypeSenderId), nullptr);  // deleted stays hidden
  }
}

// A received record neither sends nor counts out; a record to send counts no in-errors,
// and goes out only where there is a socket (Ethernet1 here) and its Ethernet header is the
// first byte the socket gets: at the begin offset, or for a copy at the frame's front.
TEST_F(PktRecordTest, ARecordSendsAndCountsOnlyInItsDirection) {
  const std::string lbmEnd = lbm(std::string(1, '\0'));
  auto in = received(lbmEnd);
  EXPECT_EQ(errorOf([&] { in->sendPkt(); }), "!ingress()");
  EXPECT_EQ(errorOf([&] { in->incrPktCounter(CounterId::out_); }),
            "counterClass == CounterClass::counterClassIn_ || counterClass == "
            "CounterClass::counterClassInError_ || counterClass == CounterClass::counterClassDebug_");
  struct Row { IntfId intf; bool ethHdr; std::int16_t beginOffset; bool copy, sent; };
  const Row rows[] = {{et2, true, 0, true, false},
                      {et1, true, 14, true, true},  // a loopback reply: begin offset still at the LBM
                      {et1, true, 14, false, false}, {et1, false, 0, false, false}};
  for (const Row& r : rows) {
    SCOPED_TRACE(&r - rows);
    helper->counter()->intfCounterDelAll();
    Interface::memoryPamNetwork().sentClear();
    const auto frame = Lumen::pktManager().newShallowCopy(in->pkt());
    frame->beginOffsetIs(r.beginOffset);
    auto out = pktMetaDataFactory(2, frame, r.intf, false, pams, pktCounterHelperFactory(helper));
    if (r.ethHdr) out->ethHdrIs(in->ethHdr());
    out->opCodeIs(Cfm::opCodeLbr);
    out->sendPktCopyIs(r.copy);
    out->sendPkt();
    EXPECT_EQ(out->pkt() != frame, r.sent && r.copy);
    EXPECT_EQ(errorOf([&] { out->tlvDel(tlvTypeData); }), "ingress()");
    EXPECT_EQ(errorOf([&] { out->incrPktCounter(CounterId::inErrorPduTooShort_); }),
              "counterClass == CounterClass::counterClassOut_ || counterClass == CounterClass::counterClassOutError_");
    const auto& sent = Interface::memoryPamNetwork().sent();
    EXPECT_EQ(sent.size(), r.sent ? 1u : 0u);
    EXPECT_TRUE(sent.empty() || (sent[0].intf == et1 && sent[0].bytes == lbmEnd));
    EXPECT_EQ(counts(r.intf), (Counts{{{8, 2, r.sent ? "out" : "outErrorNoPam"}, 1}}));
  }
}

// A frame for VLAN 20 on Ethernet1, as each switchport setting wants it tagged; without
// switchport settings it has nowhere to go, and sent anyway it is counted, not sent. Records
// are numbered; only received ones count in.
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
      {"trunk, two tags", trunk, 1, 0x88a8, {100, 20}, std::string("\x88\xa8\x00\x64\x81\x00\x00\x14\x89\x02", 10)},
      {"trunk, native outer tag left out", trunk, 100, 0x88a8, {100, 30}, std::string("\x88\xa8\x00\x1e\x89\x02", 6)},
      {"trunk, TPID 0 is 0x8100", trunk, 10, 0, {20, 0}, std::string("\x81\x00\x00\x14\x89\x02", 6)},
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
    if (r.l2.empty()) continue;
    // The record points at the headers where they now lie.
    EXPECT_EQ(reinterpret_cast<std::uint8_t*>(record->ethHdr()), pkt->frontData());
    std::vector<std::uint8_t*> tags, want;
    record->eth8021QHdr().forEach([&](auto, auto* tag) { tags.push_back(reinterpret_cast<std::uint8_t*>(tag)); });
    for (std::size_t i = 0; i < (r.l2.size() - 2) / 4; ++i) want.push_back(pkt->frontData() + 14 + 4 * i);
    EXPECT_EQ(tags, want);
  }
  pktHelper.newPktMetaData(Lumen::pktManager().newPkt(), et1, true);
  EXPECT_EQ(pktHelper.pktId(), std::size(rows) + 1);
  EXPECT_EQ(counts(), (Counts{{{8, 0, "in"}, 1}, {{8, 0, "out"}, std::size(rows) - 1}, {{8, 0, "outErrorNoPam"}, 1}}));
}

}  // namespace
