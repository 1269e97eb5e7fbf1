// The frame record: its TLV walk over received bytes, its counting by direction, and
// sending.

#include <gtest/gtest.h>

#include <map>
#include <string>

#include "CfmAgent/CfmAgentTypes.h"
#include "PduTestUtil.h"
#include "platform/intf/EthDevPamManager.h"
#include "platform/intf/MemoryPam.h"

namespace {

using CfmAgent::CounterId;
using Lumen::IntfId;

const IntfId et1("Ethernet1");

// An LBM at MD level 5 followed by `tlvs`: Ethernet header 0-13, common header 14-17,
// transaction id 18-21, the first TLV at 22 (offset 4).
std::string lbm(const std::string& tlvs) {
  return std::string(12, '\x02') + "\x89\x02" + std::string("\xa0\x03\x00\x04\x00\x00\x00\x07", 8) + tlvs;
}

const std::string senderId("\x01\x00\x02sx", 5);   // at 22
const std::string data("\x03\x00\x03" "abc", 6);   // at 27
const std::string end("\x00", 1);                   // at 33

class PktMetaDataTest : public ::testing::Test {
 protected:
  // A received frame as the receive path leaves it, in a heap block of its own size: the
  // sanitizer build reports a walk past its end.
  Kiln::Ptr<CfmAgent::PktMetaData> received(const std::string& bytes) {
    auto pkt = Lumen::pktManager().newPkt();
    pkt->bytesIs({reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()}, false, false);
    auto record = CfmAgent::pktMetaDataFactory(1, pkt, et1, true, nullptr, CfmAgent::pktCounterHelperFactory(helper));
    record->incrPktCounter(CounterId::in_);
    record->ethHdrIs(reinterpret_cast<Lumen::EthHdr*>(record->pktFront()));
    record->cfmHdrIs(reinterpret_cast<CfmAgent::CFMCommonHeader*>(record->pktFront() + 14));
    record->opCodeIs(Cfm::opCodeLbm);
    record->incrPktCounter(CounterId::in_);
    return record;
  }
  // The counts at the frame's bucket, (5, LBM), by name.
  std::map<std::string, std::uint64_t> counts() const {
    std::map<std::string, std::uint64_t> out;
    const auto md = helper->counter()->intfCounter(et1)->mdCounter(Cfm::MdLevel(5));
    for (const auto& [id, n] : md->opCodeCounter(Cfm::opCodeLbm)->counter()) out[CfmAgent::stringValue(id)] = n;
    return out;
  }

  Kiln::Ptr<CfmAgent::CounterHelper> helper = CfmAgent::counterHelperFactory(Kiln::make<CfmAgent::Counter>());
};

// The chain cut at every length: the walk goes only as far as asked, finds what is whole,
// counts a cut TLV once however often it is asked, and stops at the End TLV or the frame's
// end.
TEST_F(PktMetaDataTest, EveryCutOfATlvChainIsCountedOnce) {
  const std::string whole = lbm(senderId + data + end + "\x05pad");
  for (std::size_t n = 18; n <= whole.size(); ++n) {
    SCOPED_TRACE(testing::Message() << n << " bytes");
    helper->counter()->intfCounterDelAll();
    auto record = received(whole.substr(0, n));
    const char* error = n < 22                            ? "inErrorFirstTlvOffsetTooLarge"
                        : n == 22 || n == 27 || n >= 33   ? nullptr
                        : n < 25 || (n > 27 && n < 30)    ? "inErrorTlvHdrTruncated"
                                                          : "inErrorTlvLenTooLarge";
    EXPECT_EQ(record->tlv(CfmAgent::tlvTypeData), n >= 33 ? record->pktFront() + 27 : nullptr);
    EXPECT_EQ(record->tlvQ().size(), std::size_t(n >= 33 ? 2 : n >= 27 ? 1 : 0));
    EXPECT_EQ(record->tlv(CfmAgent::tlvTypeLtrReplyIngress), nullptr);  // the pad's first byte
    EXPECT_EQ(record->tlv(CfmAgent::tlvTypeSenderId), n >= 27 ? record->pktFront() + 22 : nullptr);
    EXPECT_EQ(record->tlvQ().size(), std::size_t(n >= 34 ? 3 : n >= 33 ? 2 : n >= 27 ? 1 : 0));
    EXPECT_EQ(record->tlvParseError(), error != nullptr);
    EXPECT_EQ(record->tlvParseDone(), error == nullptr);
    std::map<std::string, std::uint64_t> expected = {{"in", 1}};
    if (error) expected[error] = 1;
    EXPECT_EQ(counts(), expected);
    record->tlvDel(CfmAgent::tlvTypeSenderId);
    EXPECT_EQ(record->tlv(CfmAgent::tlvTypeSenderId), nullptr);  // deleted stays hidden
  }
}

TEST_F(PktMetaDataTest, SendCountsAndSendsOnlyWithASocket) {
  // A socket on Ethernet1 only.
  auto desired = Kiln::make<Interface::PamDesiredIntfDir>("pdid");
  auto pams = Kiln::make<Interface::EthDevPamCollection>("edpc");
  auto manager = Kiln::make<Interface::EthDevPamManager>(desired, pams, nullptr);
  manager->enabledIs(true);
  desired->intfDesiredIs(et1, true);
  Interface::memoryPamNetwork().sentClear();

  auto frame = Lumen::pktManager().newPkt();
  frame->stringValueIs(lbm(end), false);
  for (const IntfId intf : {IntfId("Ethernet2"), et1}) {
    auto record = CfmAgent::pktMetaDataFactory(2, frame, intf, false, pams, CfmAgent::pktCounterHelperFactory(helper));
    record->opCodeIs(Cfm::opCodeLbr);
    record->sendPktCopyIs(true);
    record->sendPkt();
    EXPECT_EQ(record->pkt() != frame, intf == et1);  // a copy went out
  }
  const auto& sent = Interface::memoryPamNetwork().sent();
  ASSERT_EQ(sent.size(), 1u);
  EXPECT_TRUE(sent[0].intf == et1 && sent[0].bytes == lbm(end));
  auto at = [&](IntfId intf, CounterId id) {
    return helper->counter()->intfCounter(intf)->mdCounter(Cfm::MdLevel())->opCodeCounter(Cfm::opCodeLbr)->counter(id);
  };
  EXPECT_EQ(at(IntfId("Ethernet2"), CounterId::outErrorNoPam_), 1u);
  EXPECT_EQ(at(et1, CounterId::out_), 1u);
}

TEST_F(PktMetaDataTest, ARecordCountsOnlyItsDirectionsClasses) {
  auto record = received(lbm(end));
  EXPECT_EQ(PduTest::assertionText([&] { record->sendPkt(); }), "!ingress()");
  EXPECT_EQ(PduTest::assertionText([&] { record->incrPktCounter(CounterId::out_); }),
            "counterClass == CounterClass::counterClassIn_ || counterClass == "
            "CounterClass::counterClassInError_ || counterClass == CounterClass::counterClassDebug_");
  record->ingressIs(false);
  EXPECT_EQ(PduTest::assertionText([&] { record->tlvDel(CfmAgent::tlvTypeData); }), "ingress()");
  EXPECT_EQ(PduTest::assertionText([&] { record->incrPktCounter(CounterId::inErrorPduTooShort_); }),
            "counterClass == CounterClass::counterClassOut_ || counterClass == CounterClass::counterClassOutError_");
}

}  // namespace
