#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CfmAgent/CfmAgentTypes.h"
#include "platform/intf/EthDevPamManager.h"
#include "platform/intf/MemoryPam.h"
#include "platform/kiln/Errors.h"

namespace {

using CfmAgent::CounterId;
using CfmAgent::PktMetaData;
using Lumen::IntfId;

const IntfId et1("Ethernet1");

// An LBM at MD level 5 (first TLV offset 4) followed by `tlvs`.
std::string lbm(const std::string& tlvs, std::uint8_t firstTlvOffset = 4) {
  std::string f(12, '\x02');
  f += std::string("\x89\x02", 2);
  f += std::string("\xa0\x03\x00", 3) + char(firstTlvOffset);
  f += std::string("\x00\x00\x00\x07", 4);  // transaction id
  return f + tlvs;
}

const std::string senderId("\x01\x00\x02sx", 5);
const std::string data("\x03\x00\x03" "abc", 6);
const std::string end("\x00", 1);

class PktMetaDataTest : public ::testing::Test {
 protected:
  Kiln::Ptr<PktMetaData> received(const std::string& bytes) {
    auto pkt = Lumen::pktManager().newPkt();
    pkt->stringValueIs(bytes, false);
    auto record = CfmAgent::pktMetaDataFactory(1, pkt, et1, true, nullptr,
                                               CfmAgent::pktCounterHelperFactory(helper));
    record->incrPktCounter(CounterId::in_);
    record->ethHdrIs(reinterpret_cast<Lumen::EthHdr*>(record->pktFront()));
    record->cfmHdrIs(reinterpret_cast<CfmAgent::CFMCommonHeader*>(record->pktFront() + 14));
    record->opCodeIs(Cfm::opCodeLbm);
    record->incrPktCounter(CounterId::in_);
    return record;
  }
  std::uint64_t count(CounterId id) const {
    auto md = helper->counter()->intfCounter(et1)->mdCounter(Cfm::MdLevel(5));
    auto op = md ? md->opCodeCounter(Cfm::opCodeLbm) : nullptr;
    return op ? op->counter(id) : 0;
  }
  static std::uint8_t type(const std::uint8_t* tlv) { return tlv ? tlv[0] : 0xff; }

  Kiln::Ptr<CfmAgent::CounterHelper> helper =
      CfmAgent::counterHelperFactory(Kiln::make<CfmAgent::Counter>());
};

TEST_F(PktMetaDataTest, WalkIsIncrementalAndCachesWhatItPassed) {
  auto record = received(lbm(senderId + data + end + "pad"));
  auto* dataTlv = record->tlv(CfmAgent::tlvTypeData);
  ASSERT_NE(dataTlv, nullptr);
  EXPECT_EQ(dataTlv - record->pktFront(), 22 + 5);
  EXPECT_EQ(record->tlvQ().size(), 2u);
  EXPECT_EQ(type(record->tlv(CfmAgent::tlvTypeSenderId)), 1);  // from the cache
  EXPECT_EQ(record->tlvQ().size(), 2u);                          // no second walk
  EXPECT_EQ(record->tlv(CfmAgent::tlvTypeEnd), nullptr);          // walks to the end
  EXPECT_TRUE(record->tlvParseDone());
  ASSERT_EQ(record->tlvQ().size(), 3u);
  std::vector<int> types;
  record->tlvQ().forEach([&](std::uint32_t, std::uint8_t* t) { types.push_back(t[0]); });
  EXPECT_EQ(types, (std::vector<int>{1, 3, 0}));
  EXPECT_EQ(record->tlv(CfmAgent::tlvTypeLtmEgressId), nullptr);  // done: no more walking

  record->tlvDel(CfmAgent::tlvTypeData);
  EXPECT_EQ(record->tlv(CfmAgent::tlvTypeData), nullptr);
}

TEST_F(PktMetaDataTest, MalformedChainsCountOnceAndStaySticky) {
  struct Case {
    std::string tlvs;
    std::uint8_t firstTlvOffset;
    CounterId counter;  // in_ for "no error"
  };
  const Case cases[] = {
      {data.substr(0, 2), 4, CounterId::inErrorTlvHdrTruncated_},          // 2 bytes at a type
      {std::string("\x03\x00\x10", 3) + std::string(10, 'v'), 4, CounterId::inErrorTlvLenTooLarge_},
      {"", 5, CounterId::inErrorFirstTlvOffsetTooLarge_},  // one past the frame's end
      {"", 4, CounterId::in_},                             // ends right there: complete
      {senderId, 4, CounterId::in_},                       // no End TLV: complete
  };
  for (const Case& c : cases) {
    auto record = received(lbm(c.tlvs, c.firstTlvOffset));
    EXPECT_EQ(record->tlv(CfmAgent::tlvTypeData), nullptr);
    EXPECT_EQ(record->tlv(CfmAgent::tlvTypeLtmEgressId), nullptr);
    const bool error = c.counter != CounterId::in_;
    EXPECT_EQ(record->tlvParseError(), error);
    EXPECT_EQ(record->tlvParseDone(), !error);
    // Two lookups, one count (for a clean chain: just the frame's own `in`).
    EXPECT_EQ(count(c.counter), 1u) << int(c.counter);
    helper->counter()->intfCounterDelAll();
    helper->invalidMdOpCodeInCounterIdClearVersionInc();
  }
}

TEST_F(PktMetaDataTest, SendCountsAndSendsOnlyWithASocket) {
  auto desired = Kiln::make<Interface::PamDesiredIntfDir>("pdid");
  auto pams = Kiln::make<Interface::EthDevPamCollection>("edpc");
  auto manager = Kiln::make<Interface::EthDevPamManager>(desired, pams, nullptr);
  manager->enabledIs(true);
  desired->intfDesiredIs(et1, true);
  Interface::memoryPamNetwork().sentClear();

  auto frame = Lumen::pktManager().newPkt();
  frame->stringValueIs(lbm(end), false);
  for (const IntfId intf : {IntfId("Ethernet2"), et1}) {
    auto record = CfmAgent::pktMetaDataFactory(2, frame, intf, false, pams,
                                               CfmAgent::pktCounterHelperFactory(helper));
    record->opCodeIs(Cfm::opCodeLbr);
    record->sendPktCopyIs(true);
    record->sendPkt();
    EXPECT_EQ(record->pkt() != frame, intf == et1);  // a copy went out
  }
  const auto& sent = Interface::memoryPamNetwork().sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_EQ(sent[0].intf, et1);
  EXPECT_EQ(sent[0].bytes, lbm(end));
  auto at = [&](IntfId intf, CounterId id) {
    return helper->counter()->intfCounter(intf)->mdCounter(Cfm::MdLevel())->opCodeCounter(
        Cfm::opCodeLbr)->counter(id);
  };
  EXPECT_EQ(at(IntfId("Ethernet2"), CounterId::outErrorNoPam_), 1u);
  EXPECT_EQ(at(et1, CounterId::out_), 1u);
}

TEST_F(PktMetaDataTest, MisuseIsRefusedByAssertions) {
  Kiln::ThrowingAssertionScope scope;
  auto record = received(lbm(end));
  auto expectAssertion = [](auto&& f, const char* text) {
    try {
      f();
      ADD_FAILURE() << "no assertion " << text;
    } catch (const Kiln::AssertionFailure& e) {
      EXPECT_STREQ(e.what(), text);
    }
  };
  expectAssertion([&] { record->sendPkt(); }, "!ingress()");
  expectAssertion([&] { record->incrPktCounter(CounterId::out_); },
                  "counterClass == CounterClass::counterClassIn_ || counterClass == "
                  "CounterClass::counterClassInError_ || counterClass == "
                  "CounterClass::counterClassDebug_");
  record->ingressIs(false);
  expectAssertion([&] { record->tlvDel(CfmAgent::tlvTypeData); }, "ingress()");
  expectAssertion([&] { record->incrPktCounter(CounterId::inErrorPduTooShort_); },
                  "counterClass == CounterClass::counterClassOut_ || counterClass == "
                  "CounterClass::counterClassOutError_");
}

TEST(ProtocolPkt, HandOffNotifiesInOrderAndSlotsAreMadeOnce) {
  CfmAgent::ProtocolPktCollection slots;
  auto slot = slots.protocolPktIs(Cfm::protocolLoopback);
  EXPECT_EQ(slots.protocolPktIs(Cfm::protocolLoopback), slot);
  struct Engine : CfmAgent::ProtocolPkt::NotifieeConst {
    using CfmAgent::ProtocolPkt::NotifieeConst::NotifieeConst;
    void onPktMetaData() override { log.push_back(notifier()->pktMetaData() ? "record" : "none"); }
    void onReadableCount() override {
      log.push_back("readable " + std::to_string(notifier()->readableCount()) +
                    (notifier()->pktMetaData() ? " with record" : ""));
    }
    std::vector<std::string> log;
  } engine(slot);
  auto pkt = Lumen::pktManager().newPkt();
  auto record = CfmAgent::pktMetaDataFactory(9, pkt, et1, true, nullptr, nullptr);
  slot->pktMetaDataIs(record);
  EXPECT_EQ(slot->readableCountInc(1), 1u);
  slot->pktMetaDataIs(nullptr);
  slot->readableCountInc(0);  // unchanged: no notification
  EXPECT_EQ(engine.log, (std::vector<std::string>{"record", "readable 1 with record", "none"}));
}

}  // namespace
