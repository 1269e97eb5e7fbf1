// A measurement session: its messages byte for byte as tshark reads them, which replies it
// takes, the loss and delay of each interval, where intervals end, and the thresholds.

#include "platform/ale/PmSession.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/ale/PmResponder.h"
#include "tests/support/AllocationCounter.h"
#include "tests/support/Tshark.h"

namespace {

using Cfm::PmKind;
using Cfm::PmTime;
using SoftAle::PmSession;
using SoftAle::PmSessionSettings;

const Lumen::EthAddr kMep(2, 0, 0, 0, 0, 1), kPeer(2, 0, 0, 0, 0, 0x0a);

Bridging::EgressTags vlan10() {
  Bridging::EgressTags tags;
  tags.vids[0] = 10, tags.count = 1;
  return tags;
}

PmSessionSettings settingsOf(PmKind kind) {
  PmSessionSettings s;
  s.name = "s";
  s.kind = kind;
  s.measurementInterval = 10;
  return s;
}

// The frame `reply` as the peer sends it back: opcode, responder fields, addresses swapped.
struct Reply {
  std::vector<std::uint8_t> bytes;
  SoftAle::CfmFrame frame() const { return {kMep, kPeer, 10, 0, {bytes.data() + 18, bytes.size() - 18}}; }
};

TEST(PmSession, MessagesAsTsharkReadsThem) {
  ASSERT_TRUE(TestSupport::haveTshark()) << "tshark is not installed: scripts/install-deps.sh installs it";
  std::vector<std::string> frames;
  for (const PmKind kind : {PmKind::dmm, PmKind::slm, PmKind::oneDm}) {
    PmSessionSettings s = settingsOf(kind);
    s.priority = 5, s.dataBytes = 3, s.testId = 7;
    PmSession session(s, Cfm::MdLevel(6), Cfm::MepId(100), 0);
    for (int i = 0; i < 2; ++i) {
      const auto m = session.message(kPeer, kMep, vlan10(), PmTime{1700000000, 500u + i});
      frames.emplace_back(m.begin(), m.end());
      session.messageSent(true);
    }
  }
  const auto decoded = TestSupport::tsharkDecode(
      frames, {"eth.dst", "eth.src", "vlan.priority", "vlan.id", "cfm.md.level", "cfm.opcode", "cfm.first.tlv.offset",
               "cfm.odm.dmm.dmr.txtimestampf", "cfm.slm.src_mep_id", "cfm.slm.test_id", "cfm.slm.txfcf",
               "cfm.tlv.data.value"});
  const std::string l2 = "02:00:00:00:00:0a\t02:00:00:00:00:01\t5\t10\t6\t";
  EXPECT_EQ(decoded, (std::vector<std::string>{
                         l2 + "47\t32\t6553f100000001f4\t\t\t\t000102", l2 + "47\t32\t6553f100000001f5\t\t\t\t000102",
                         l2 + "55\t16\t\t100\t00000007\t1\t000102", l2 + "55\t16\t\t100\t00000007\t2\t000102",
                         l2 + "45\t16\t6553f100000001f4\t\t\t\t000102", l2 + "45\t16\t6553f100000001f5\t\t\t\t000102"}));
}

// A DMR counts once, only from the target and for a DMM this session sent; the peer's
// residence is taken out of the delay.
TEST(PmSession, DelayFromItsOwnDmrsOnly) {
  PmSession session(settingsOf(PmKind::dmm), Cfm::MdLevel(6), Cfm::MepId(100), 0);
  SoftAle::PmResponder peer(Cfm::MdLevel(6), Cfm::MepId(200));
  peer.senderIs(kPeer, vlan10());
  const auto send = [&](PmTime at) {
    const auto m = session.message(kPeer, kMep, vlan10(), at);
    session.messageSent(true);
    return Reply{{m.begin(), m.end()}};
  };
  const auto answer = [&](const Reply& dmm, PmTime rx) {
    const auto r = peer.answer({kPeer, kMep, 10, 0, {dmm.bytes.data() + 18, dmm.bytes.size() - 18}}, rx);
    Reply out{{r.begin(), r.end()}};
    auto* dmr = Lumen::overlayAt<Cfm::DmPdu>(std::span<std::uint8_t>(out.bytes), 18);
    dmr->txTimeStampbIs({rx.seconds, rx.nanoseconds + 300'000});  // held for 300 µs
    return out;
  };
  const Reply first = answer(send({100, 0}), {100, 20'000});
  const Reply second = answer(send({101, 0}), {101, 40'000});
  EXPECT_TRUE(session.replyReceived(first.frame(), {100, 340'000}));   // 40 µs
  EXPECT_FALSE(session.replyReceived(first.frame(), {100, 400'000}));  // answered already
  SoftAle::CfmFrame other = second.frame();
  other.src = Lumen::EthAddr(2, 0, 0, 0, 0, 0x0b);
  EXPECT_FALSE(session.replyReceived(other, {101, 380'000}));
  Reply unsent = second;
  Lumen::overlayAt<Cfm::DmPdu>(std::span<std::uint8_t>(unsent.bytes), 18)->txTimeStampfIs({99, 0});
  EXPECT_FALSE(session.replyReceived(unsent.frame(), {101, 380'000}));
  EXPECT_TRUE(session.replyReceived(second.frame(), {101, 380'000}));  // 80 µs
  const auto now = session.current();
  EXPECT_EQ(std::tuple(now.sent, now.received, now.delay.count, now.delay.min, now.delay.max, now.delay.mean),
            std::tuple(2u, 2u, 2u, 40'000, 80'000, 60'000));
  // Sending and taking replies allocate nothing once the message is built.
  const std::size_t before = testAllocations;
  for (std::uint32_t i = 0; i < 100; ++i) session.replyReceived(answer(send({200 + i, 0}), {200 + i, 1}).frame(), {});
  EXPECT_EQ(testAllocations - before, 2 * 100u);  // the two Reply copies of the test itself
}

// Far-end loss is what left less what the responder counted; near-end, what the responder
// sent less what came back. Each interval runs from the last SLR of the one before.
TEST(PmSession, LossPerIntervalFromTheSlrCounts) {
  struct Step {
    std::uint32_t txFcf, txFcb;  // an SLR; txFcf 0: the interval ends here
  };
  const struct {
    const char* what;
    std::vector<Step> steps;
    std::vector<std::array<std::uint64_t, 4>> intervals;  // far frames, far lost, near frames, near lost
  } cases[] = {
      {"none lost", {{1, 1}, {2, 2}, {3, 3}, {0, 0}, {4, 4}, {5, 5}, {0, 0}}, {{2, 0, 2, 0}, {2, 0, 2, 0}}},
      {"SLM 3 lost on the way", {{1, 1}, {2, 2}, {4, 3}, {5, 4}, {0, 0}}, {{4, 1, 3, 0}}},
      {"SLR 3 lost on the way back", {{1, 1}, {2, 2}, {4, 4}, {5, 5}, {0, 0}}, {{4, 0, 4, 1}}},
      {"a late SLR counts where it belongs", {{1, 1}, {3, 3}, {2, 2}, {0, 0}}, {{2, 0, 2, 0}}},
      {"a silent interval keeps the base", {{1, 1}, {0, 0}, {0, 0}, {3, 2}, {0, 0}}, {{0, 0, 0, 0}, {0, 0, 0, 0}, {2, 1, 1, 0}}},
  };
  for (const auto& c : cases) {
    PmSession session(settingsOf(PmKind::slm), Cfm::MdLevel(6), Cfm::MepId(100), 0);
    for (int i = 0; i < 5; ++i) {
      session.message(kPeer, kMep, {}, {});
      session.messageSent(true);
    }
    double wall = 0;
    for (const Step& step : c.steps) {
      if (step.txFcf == 0) {
        session.roll(wall += 10, [](const auto&) {});
        continue;
      }
      Cfm::SlPdu slr(6, Cfm::opCodeSlr);
      slr.sourceMepIdIs(100), slr.testIdIs(1), slr.txFcfIs(step.txFcf), slr.txFcbIs(step.txFcb);
      const auto bytes = Cfm::wireBytes(slr);
      EXPECT_TRUE(session.replyReceived({kMep, kPeer, 0, 0, bytes}, {})) << c.what;
    }
    Cfm::PmSessionAleStatus status;
    session.report(status);
    ASSERT_EQ(status.intervals.size(), c.intervals.size() + 1) << c.what;
    for (std::size_t i = 0; i < c.intervals.size(); ++i) {
      const auto& got = status.intervals[c.intervals.size() - i];  // the oldest last
      EXPECT_EQ((std::array{got.farEndFrames, got.farEndLost, got.nearEndFrames, got.nearEndLost}), c.intervals[i])
          << c.what << ", interval " << i;
    }
  }
}

// Intervals end on multiples of their length; a figure over its limit is reported once, at
// the end of its interval; a clock that jumps skips the intervals it jumped over.
TEST(PmSession, IntervalsEndOnTheClockAndReportTheirCrossings) {
  PmSessionSettings s = settingsOf(PmKind::oneDmIn);
  s.history = 2;
  s.thresholds.delayMax = 1'000'000;
  s.thresholds.delayVariation = 5'000'000;
  PmSession session(s, Cfm::MdLevel(6), Cfm::MepId(100), 1003.5);
  EXPECT_EQ(session.nextRoll(), 1010);
  std::vector<std::string> crossed;
  const auto roll = [&](double at) {
    session.roll(at, [&](const SoftAle::PmCrossing& c) {
      crossed.push_back(std::string(c.figure) + " " + std::to_string(std::int64_t(c.value)));
    });
  };
  session.oneWayReceived({1000, 0}, {1000, 2'000'000});
  roll(1009.9);
  EXPECT_TRUE(crossed.empty());
  roll(1010);
  EXPECT_EQ(crossed, std::vector<std::string>{"delayMax 2000000"});
  roll(1045.2);  // quiet, and 25 s late: the next interval starts now
  EXPECT_EQ(session.nextRoll(), 1050);
  EXPECT_EQ(crossed.size(), 1u);
  Cfm::PmSessionAleStatus status;
  session.report(status);
  ASSERT_EQ(status.intervals.size(), 3u);  // the current one and two kept
  EXPECT_EQ(std::tuple(status.intervals[0].start, status.intervals[1].start, status.intervals[1].end,
                       status.intervals[2].start, status.intervals[2].end),
            std::tuple(1045.2, 1010.0, 1020.0, 1003.5, 1010.0));
}

}  // namespace
