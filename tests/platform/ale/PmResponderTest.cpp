// A MEP's Y.1731 responder: each reply byte for byte as tshark reads it, every length of
// a message answered or refused, and the SLR counts of concurrent tests.

#include "platform/ale/PmResponder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/AllocationCounter.h"
#include "tests/support/Tshark.h"

namespace {

using Cfm::PmTime;
using SoftAle::PmResponder;

const Lumen::EthAddr kMep(2, 0, 0, 0, 0, 1), kPeer(2, 0, 0, 0, 0, 0x0a);

std::vector<std::uint8_t> bytesOf(const auto& overlay) {
  const auto bytes = Cfm::wireBytes(overlay);
  return {bytes.begin(), bytes.end()};
}

// A message's PDU at level 5: the fixed part of `opCode`, its fields set, then a Data TLV of
// three bytes and the End TLV.
std::vector<std::uint8_t> pdu(std::uint8_t opCode, std::uint32_t testId = 7) {
  Cfm::SlPdu sl(5);
  sl.sourceMepIdIs(20), sl.testIdIs(testId), sl.txFcfIs(11);
  Cfm::DmPdu dm(5);
  dm.txTimeStampfIs({1700000000, 500});
  Cfm::OneDmPdu one(5);
  one.txTimeStampfIs({1700000000, 500});
  auto out = opCode == Cfm::opCodeSlm ? bytesOf(sl) : opCode == Cfm::opCodeDmm ? bytesOf(dm) : bytesOf(one);
  out.insert(out.end(), {Cfm::tlvTypeData, 0, 3, 'a', 'b', 'c', Cfm::tlvTypeEnd});
  return out;
}

SoftAle::CfmFrame frameOf(const std::vector<std::uint8_t>& pdu) { return {kMep, kPeer, 10, 0, pdu}; }

PmResponder responder() {
  PmResponder r(Cfm::MdLevel(5), Cfm::MepId(100));
  Bridging::EgressTags tags;
  tags.vids[0] = 10, tags.count = 1;
  r.senderIs(kMep, tags);
  return r;
}

TEST(PmResponder, RepliesAsTsharkReadsThem) {
  ASSERT_TRUE(TestSupport::haveTshark()) << "tshark is not installed: scripts/install-deps.sh installs it";
  PmResponder r = responder();
  const PmTime rx{1700000001, 250};
  const PmTime before = SoftAle::pmTimeNow();
  std::vector<std::string> frames;
  for (const auto opCode : {Cfm::opCodeDmm, Cfm::opCodeSlm, Cfm::opCodeSlm, Cfm::opCode1Dm}) {
    const auto message = pdu(opCode);
    const auto reply = r.answer(frameOf(message), rx);
    if (opCode == Cfm::opCode1Dm) {
      EXPECT_TRUE(reply.empty());
      continue;
    }
    ASSERT_EQ(reply.size(), 18 + message.size());
    r.replySent(true);
    // What a reply keeps of its message: all but the opcode and the responder's fields.
    std::vector<std::uint8_t> kept(reply.begin() + 18, reply.end());
    kept[1] = opCode;
    if (opCode == Cfm::opCodeDmm) {
      const auto* dmr = Lumen::overlayAt<Cfm::DmPdu>(reply, 18);
      EXPECT_EQ(dmr->rxTimeStampf(), rx);
      EXPECT_GE(dmr->txTimeStampb().ns(), before.ns());
      EXPECT_LE(dmr->txTimeStampb().ns(), SoftAle::pmTimeNow().ns());
      std::fill(kept.begin() + 12, kept.begin() + 28, 0);
    } else {
      std::fill(kept.begin() + 6, kept.begin() + 8, 0);
      std::fill(kept.begin() + 16, kept.begin() + 20, 0);
    }
    EXPECT_EQ(kept, message);
    frames.emplace_back(reply.begin(), reply.end());
  }
  const auto decoded = TestSupport::tsharkDecode(
      frames, {"eth.dst", "eth.src", "vlan.id", "cfm.md.level", "cfm.opcode", "cfm.first.tlv.offset",
               "cfm.odm.dmm.dmr.txtimestampf", "cfm.odm.dmm.dmr.rxtimestampf", "cfm.slm.src_mep_id",
               "cfm.slr.rsp_mep_id", "cfm.slm.test_id", "cfm.slm.txfcf", "cfm.slr.txfcb", "cfm.tlv.data.value"});
  EXPECT_EQ(decoded, (std::vector<std::string>{
                         "02:00:00:00:00:0a\t02:00:00:00:00:01\t10\t5\t46\t32\t6553f100000001f4\t6553f101000000fa\t\t\t\t\t\t616263",
                         "02:00:00:00:00:0a\t02:00:00:00:00:01\t10\t5\t54\t16\t\t\t20\t100\t00000007\t11\t1\t616263",
                         "02:00:00:00:00:0a\t02:00:00:00:00:01\t10\t5\t54\t16\t\t\t20\t100\t00000007\t11\t2\t616263"}));
  EXPECT_EQ(r.counters(), (Cfm::PmResponderCounters{1, 1, 2, 2, 1, 0, 0, 0}));
}

// Cut anywhere, a message is refused until its fixed part and first TLV offset fit; a first
// TLV offset inside the fixed part or past the frame is refused whole.
TEST(PmResponder, EveryLengthIsAnsweredOrRefused) {
  for (const auto opCode : {Cfm::opCodeDmm, Cfm::opCodeSlm, Cfm::opCode1Dm}) {
    const auto message = pdu(opCode);
    const std::size_t fixed = 4 + message[3];
    for (std::size_t n = 0; n <= message.size(); ++n) {
      PmResponder r = responder();
      const std::vector<std::uint8_t> cut(message.begin(), message.begin() + n);
      const bool answered = !r.answer(frameOf(cut), {}).empty();
      EXPECT_EQ(answered, n >= fixed && opCode != Cfm::opCode1Dm) << int(opCode) << " cut at " << n;
      EXPECT_EQ(r.counters().tooShort, n < fixed ? 1u : 0u) << int(opCode) << " cut at " << n;
    }
    for (const std::uint8_t offset : {std::uint8_t(message[3] - 1), std::uint8_t(message.size())}) {
      auto bad = message;
      bad[3] = offset;
      PmResponder r = responder();
      EXPECT_TRUE(r.answer(frameOf(bad), {}).empty());
      EXPECT_EQ(r.counters().tooShort, 1u);
    }
  }
}

// Each test counts its own SLRs; past the most tests kept, the one heard from the longest
// ago starts again.
TEST(PmResponder, EachTestHasItsCount) {
  PmResponder r = responder();
  const auto txFcb = [&](std::uint32_t testId) {
    const auto reply = r.answer(frameOf(pdu(Cfm::opCodeSlm, testId)), {});
    return Lumen::overlayAt<Cfm::SlPdu>(reply, 18)->txFcb();
  };
  EXPECT_EQ(std::vector<std::uint32_t>({txFcb(1), txFcb(2), txFcb(1), txFcb(1), txFcb(2)}),
            std::vector<std::uint32_t>({1, 1, 2, 3, 2}));
  for (std::uint32_t id = 100; id < 100 + PmResponder::maxTests - 1; ++id) txFcb(id);
  EXPECT_EQ(txFcb(2), 3u);  // kept: the table was not full
  EXPECT_EQ(txFcb(500), 1u);
  EXPECT_EQ(txFcb(1), 1u);  // gone for test 500, heard from the longest ago
  EXPECT_EQ(txFcb(2), 4u);
}

// Answering allocates nothing, not even for a test that takes another's place.
TEST(PmResponder, AnsweringAllocatesNothing) {
  PmResponder r = responder();
  const auto dmm = pdu(Cfm::opCodeDmm);
  auto slm = pdu(Cfm::opCodeSlm);
  const std::size_t before = testAllocations;
  for (std::uint32_t i = 0; i < 1000; ++i) {
    slm[8] = std::uint8_t(i);  // a test id of 256
    r.replySent(!r.answer(frameOf(i % 2 ? dmm : slm), {}).empty());
  }
  EXPECT_EQ(std::tuple(testAllocations, r.counters().dmrOut + r.counters().slrOut), std::tuple(before, 1000u));
}

}  // namespace
