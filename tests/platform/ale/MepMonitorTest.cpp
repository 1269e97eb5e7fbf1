#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "platform/ale/MepMonitor.h"
#include "platform/ale/SoftAle.h"

namespace {

using namespace SoftAle;
using Cfm::MdLevel, Cfm::MepId, Cfm::MepDefect, Cfm::RemoteMepState;

const Maid maidA = {4, 1, 'a'}, maidB = {4, 1, 'b'};

// Level 4, MEP 1, 1 s CCMs, expecting MEPs 2 and 3; started at time 0.
MepMonitor monitor(double seconds = 1, const std::vector<MepId>& remotes = {MepId(2), MepId(3)}) {
  return MepMonitor(MdLevel(4), MepId(1), maidA, Cfm::CcmTxInterval(seconds), remotes, 0);
}

ReceivedCcm ccmFrom(std::uint16_t mepId, std::uint32_t sequence = 0) {
  return {.mdLevel = MdLevel(4), .src = Lumen::EthAddr(2, 0, 0, 0, 0, std::uint8_t(mepId)), .mepId = mepId, .rdi = false,
          .intervalCode = 4, .sequence = sequence, .maid = maidA, .portStatus = {}, .interfaceStatus = {}};
}

TEST(MepMonitor, EachKindOfCcmIsClassifiedAndRaisesItsDefect) {
  struct Case { const char* what; std::function<void(ReceivedCcm&)> change; CcmResult result; };
  const Case cases[] = {
      {"listed MEP", [](ReceivedCcm&) {}, CcmResult::accepted},
      {"higher level", [](ReceivedCcm& c) { c.mdLevel = MdLevel(5); }, CcmResult::notForThisMep},
      {"lower level", [](ReceivedCcm& c) { c.mdLevel = MdLevel(3); }, CcmResult::xconLowerLevel},
      {"other MAID", [](ReceivedCcm& c) { c.maid = maidB; }, CcmResult::xconOtherMaid},
      {"own MEP id", [](ReceivedCcm& c) { c.mepId = 1; c.intervalCode = 5; }, CcmResult::errorOwnMepId},
      {"unlisted MEP id", [](ReceivedCcm& c) { c.mepId = 4; }, CcmResult::errorUnknownMepId},
      {"MEP id 0", [](ReceivedCcm& c) { c.mepId = 0; }, CcmResult::errorUnknownMepId},
      {"other interval", [](ReceivedCcm& c) { c.intervalCode = 3; }, CcmResult::errorInterval},
  };
  for (const Case& c : cases) {
    MepMonitor m = monitor();
    ReceivedCcm ccm = ccmFrom(2, 9);
    c.change(ccm);
    EXPECT_EQ(m.ccmReceived(ccm, 1), c.result) << c.what;
    EXPECT_EQ(std::pair(m.defects().xconCCMdefect, m.defects().errorCCMdefect), std::pair(isXcon(c.result), isError(c.result))) << c.what;
    EXPECT_EQ(m.remoteMep(MepId(2))->ccmsReceived, c.result == CcmResult::accepted) << c.what;
    const auto& record = isXcon(c.result) ? m.lastXconCcm() : m.lastErrorCcm();
    EXPECT_EQ(record.has_value(), isXcon(c.result) || isError(c.result)) << c.what;
    if (record) { EXPECT_EQ(std::pair(record->result, record->mepId), std::pair(c.result, ccm.mepId)) << c.what; }
  }
}

// At every interval a silent remote MEP fails, and an error defect clears, at 3.5 periods.
TEST(MepMonitor, TimersExpireAtThreeAndAHalfPeriods) {
  for (std::size_t i = 0; i < Cfm::ccmTxIntervals.size(); ++i) {
    const double period = Cfm::ccmTxIntervals[i].value();
    MepMonitor m = monitor(period, {MepId(2)});
    const double failAt = 3.5 * period;
    EXPECT_EQ(m.nextDeadline(), failAt) << period;
    EXPECT_FALSE(m.tick(std::nextafter(failAt, 0))) << period;
    EXPECT_TRUE(m.tick(failAt)) << period;
    ReceivedCcm ccm = ccmFrom(2);
    ccm.intervalCode = std::uint8_t(i + 1);
    const double now = failAt + 1;
    EXPECT_EQ(m.ccmReceived(ccm, now), CcmResult::accepted);
    EXPECT_EQ(m.ccmReceived(ccmFrom(9), now), CcmResult::errorUnknownMepId);
    EXPECT_EQ(m.defects(), Defects{.errorCCMdefect = true});
    EXPECT_EQ(m.nextDeadline(), now + failAt);
    EXPECT_FALSE(m.tick(std::nextafter(now + failAt, 0)));
    EXPECT_TRUE(m.tick(now + failAt));
    EXPECT_EQ(m.defects(), Defects{.someRMEPCCMdefect = true});
  }
}

// One script piling defects up and letting them go: the highest masks the others, and RDI
// is sent for everything but a remote MEP's own RDI.
TEST(MepMonitor, HighestDefectAndPresentRdiFollowPriority) {
  MepMonitor m = monitor();
  ReceivedCcm two = ccmFrom(2), three = ccmFrom(3);
  struct Step { const char* what; std::function<void()> act; MepDefect highest; bool rdi; };
  double t = 0;
  const Step steps[] = {
      {"both heard", [&] { m.ccmReceived(two, t); m.ccmReceived(three, t); }, MepDefect::none, false},
      {"2 sends RDI", [&] { two.rdi = true; m.ccmReceived(two, t); }, MepDefect::rdiCcm, false},
      {"2's port blocked", [&] { two.portStatus = 1; m.ccmReceived(two, t); }, MepDefect::rdiCcm, false},
      {"3's port blocked too", [&] { three.portStatus = 1; m.ccmReceived(three, t); }, MepDefect::macStatus, true},
      {"3 stops the TLV", [&] { three.portStatus.reset(); m.ccmReceived(three, t); }, MepDefect::rdiCcm, false},
      {"3's interface down", [&] { three.interfaceStatus = 2; m.ccmReceived(three, t); }, MepDefect::macStatus, true},
      {"2 falls silent", [&] { t = 3; m.ccmReceived(three, t); t = 4; m.tick(t); }, MepDefect::remoteCcm, true},
      {"error CCM", [&] { m.ccmReceived(ccmFrom(7), t); }, MepDefect::errorCcm, true},
      {"xcon CCM", [&] { ReceivedCcm low = three; low.mdLevel = MdLevel(1); m.ccmReceived(low, t = 5); }, MepDefect::xconCcm, true},
      {"xcon and error clear", [&] { m.ccmReceived(three, t = 6); m.tick(t = 8.5); }, MepDefect::remoteCcm, true},
      {"2 back, RDI cleared", [&] { two.rdi = false; m.ccmReceived(two, t); }, MepDefect::macStatus, true},
  };
  for (const Step& s : steps) {
    s.act();
    EXPECT_EQ(m.highestDefect(), s.highest) << s.what;
    EXPECT_EQ(m.presentRdi(), s.rdi) << s.what;
  }
}

TEST(MepMonitor, SequenceGapsAndRepeatsCount) {
  const std::pair<std::vector<std::uint32_t>, std::uint64_t> cases[] = {
      {{1, 2, 3}, 0}, {{1, 3}, 1}, {{5, 5}, 1}, {{4, 3}, 1}, {{0, 0, 0}, 0}, {{0xffffffff, 0}, 0}, {{7, 0, 1}, 1},
  };
  for (const auto& [sequence, errors] : cases) {
    MepMonitor m = monitor();
    for (const std::uint32_t s : sequence) m.ccmReceived(ccmFrom(2, s), 1);
    EXPECT_EQ(m.remoteMep(MepId(2))->sequenceErrors, errors) << ::testing::PrintToString(sequence);
    EXPECT_EQ(m.sequenceErrors(), errors) << ::testing::PrintToString(sequence);
  }
}

TEST(MepMonitor, ConfigurationChangesKeepTheRemoteMepsThatStay) {
  MepMonitor m = monitor();
  ReceivedCcm two = ccmFrom(2, 1);
  two.rdi = true;
  m.ccmReceived(two, 2);
  // 3 goes, 4 comes (listed twice), the MEP's own id is never a remote MEP.
  m.remoteMepIdsIs(std::vector{MepId(4), MepId(2), MepId(1), MepId(4)}, 3);
  ASSERT_EQ(m.remoteMeps().size(), 2u);
  const RemoteMep& kept = m.remoteMeps()[0];
  EXPECT_EQ(std::tuple(kept.mepId, kept.state, kept.ccmsReceived, kept.rdi, kept.lastSequence),
            std::tuple(MepId(2), RemoteMepState::ok, 1u, true, 1u));
  EXPECT_EQ(std::pair(m.remoteMeps()[1].mepId, m.remoteMeps()[1].state), std::pair(MepId(4), RemoteMepState::start));
  m.ccmIntervalIs(Cfm::CcmTxInterval(10), 4);  // 35 s lifetimes from the same starts
  EXPECT_EQ(m.nextDeadline(), 2 + 35);
  m.ccmIntervalIs(Cfm::CcmTxInterval(0.1), 4);  // shrunk below what has passed: both fail now
  EXPECT_EQ(m.defects().someRMEPCCMdefect, true);
  EXPECT_EQ(m.nextDeadline(), INFINITY);
}

}  // namespace

// A CCM's arrival on the monotonic clock from the kernel's wall-clock stamp: a stamp from
// the past moves it back; from the future, or more than a second ago (a stepped clock), not.
TEST(ArrivalTest, KernelStampMovesTheArrivalBack) {
  const std::pair<Cfm::PmTime, double> cases[] = {{{1000, 500'000'000}, 50.0}, {{1000, 495'000'000}, 49.995},
                                                  {{999, 600'000'000}, 49.1},  {{999, 400'000'000}, 50.0},
                                                  {{1000, 600'000'000}, 50.0}, {{0, 0}, 50.0}};
  for (const auto& [rx, expected] : cases) {
    EXPECT_NEAR(arrivalOf(rx, 50.0, {1000, 500'000'000}), expected, 1e-9) << rx.seconds << "." << rx.nanoseconds;
  }
}
