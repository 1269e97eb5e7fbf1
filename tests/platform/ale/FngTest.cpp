// The fault notification generator on a fake clock: when an alarm is raised and cleared, to
// the instant, at every lowest alarm priority and every defect.

#include <gtest/gtest.h>

#include <cmath>
#include <tuple>
#include <vector>

#include "platform/ale/Fng.h"

namespace {

using Change = SoftAle::Fng::Change;
using Cfm::FngState;
using Cfm::LowestAlarmPri;
using Cfm::MepDefect;

constexpr double kAlarm = 2.5, kReset = 10;
const double kBefore = std::nextafter(kAlarm, 0.0);  // the last instant the alarm still waits

// Every defect held from 0 under every priority: raised at the alarm time exactly when the
// defect is at or above the priority; once it goes, cleared at the reset time exactly.
TEST(Fng, RaiseAndResetAtEveryPriority) {
  for (unsigned p = unsigned(LowestAlarmPri::allDef); p <= unsigned(LowestAlarmPri::noXcon); ++p) {
    for (unsigned d = unsigned(MepDefect::rdiCcm); d <= unsigned(MepDefect::xconCcm); ++d) {
      const auto pri = LowestAlarmPri(p);
      const auto defect = MepDefect(d);
      SCOPED_TRACE(Cfm::stringValue(pri) + " with " + Cfm::stringValue(defect));
      SoftAle::Fng fng({pri, kAlarm, kReset});
      const bool alarms = d >= p;
      EXPECT_EQ(fng.update(defect, 0), Change::none);
      EXPECT_EQ(fng.state(), alarms ? FngState::defect : FngState::reset);
      EXPECT_EQ(fng.nextDeadline(), alarms ? kAlarm : INFINITY);
      EXPECT_EQ(fng.update(defect, kBefore), Change::none);
      EXPECT_FALSE(fng.alarm());
      EXPECT_EQ(fng.update(defect, kAlarm), alarms ? Change::raised : Change::none);
      EXPECT_EQ(fng.alarm(), alarms);
      EXPECT_EQ(fng.alarmDefect(), alarms ? defect : MepDefect::none);
      if (!alarms) continue;
      // The defect goes at 5: the alarm stands through the reset time.
      EXPECT_EQ(fng.update(MepDefect::none, 5), Change::none);
      EXPECT_EQ(fng.state(), FngState::defectClearing);
      EXPECT_EQ(fng.update(MepDefect::none, std::nextafter(5 + kReset, 0.0)), Change::none);
      EXPECT_TRUE(fng.alarm());
      EXPECT_EQ(fng.update(MepDefect::none, 5 + kReset), Change::cleared);
      EXPECT_EQ(fng.state(), FngState::reset);
      EXPECT_EQ(fng.alarmDefect(), MepDefect::none);
    }
  }
}

// Sequences of (time, highest defect, change, state) under the defaults: a short defect
// raises nothing; one back within the reset time keeps the alarm without raising it again;
// a higher one raises it again at once, a lower one does not; RDI alone never alarms.
TEST(Fng, Sequences) {
  using D = MepDefect;
  using S = FngState;
  const std::vector<std::tuple<double, D, Change, S>> cases[] = {
      {{0, D::remoteCcm, Change::none, S::defect}, {2, D::none, Change::none, S::reset},
       {4.5, D::remoteCcm, Change::none, S::defect}, {7, D::remoteCcm, Change::raised, S::defectReported}},
      {{0, D::errorCcm, Change::none, S::defect}, {2.5, D::errorCcm, Change::raised, S::defectReported},
       {3, D::none, Change::none, S::defectClearing}, {12, D::errorCcm, Change::none, S::defectReported},
       {13, D::none, Change::none, S::defectClearing}, {23, D::none, Change::cleared, S::reset}},
      {{0, D::macStatus, Change::none, S::defect}, {2.5, D::macStatus, Change::raised, S::defectReported},
       {3, D::xconCcm, Change::raised, S::defectReported}, {4, D::remoteCcm, Change::none, S::defectReported}},
      {{0, D::rdiCcm, Change::none, S::reset}, {100, D::rdiCcm, Change::none, S::reset}},
  };
  for (const auto& steps : cases) {
    SoftAle::Fng fng;
    for (const auto& [t, defect, change, state] : steps) {
      EXPECT_EQ(fng.update(defect, t), change) << t;
      EXPECT_EQ(fng.state(), state) << t;
    }
  }
}

// A priority lowered under a standing defect starts the alarm time then; raised above a
// standing alarm's defect, the alarm starts clearing.
TEST(Fng, SettingsChange) {
  SoftAle::Fng fng({LowestAlarmPri::xcon, kAlarm, kReset});
  EXPECT_EQ(fng.update(MepDefect::remoteCcm, 0), Change::none);
  EXPECT_EQ(fng.settingsIs({LowestAlarmPri::remErrXcon, 3, kReset}, 1), Change::none);
  EXPECT_EQ(fng.update(MepDefect::remoteCcm, 4), Change::raised);
  EXPECT_EQ(fng.settingsIs({LowestAlarmPri::noXcon, 3, 5}, 6), Change::none);
  EXPECT_EQ(fng.update(MepDefect::remoteCcm, 11), Change::cleared);
}

}  // namespace
