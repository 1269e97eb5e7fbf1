// The fault notification generator on a fake clock: when an alarm is raised and cleared, to
// the instant, at every lowest alarm priority and every defect.

#include <gtest/gtest.h>

#include <cmath>
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

// Sequences of (time, highest defect, expected change, expected state) under macRemErrXcon.
TEST(Fng, Sequences) {
  struct Step {
    double t;
    MepDefect defect;
    Change change;
    FngState state;
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  };
  const Case cases[] = {
      {"a defect shorter than the alarm time raises nothing",
       {{0, MepDefect::remoteCcm, Change::none, FngState::defect},
        {2, MepDefect::none, Change::none, FngState::reset},
        {4.5, MepDefect::remoteCcm, Change::none, FngState::defect},
        {6.9, MepDefect::remoteCcm, Change::none, FngState::defect},
        {7, MepDefect::remoteCcm, Change::raised, FngState::defectReported}}},
      {"a defect back within the reset time keeps the alarm, neither cleared nor raised again",
       {{0, MepDefect::errorCcm, Change::none, FngState::defect},
        {2.5, MepDefect::errorCcm, Change::raised, FngState::defectReported},
        {3, MepDefect::none, Change::none, FngState::defectClearing},
        {12, MepDefect::errorCcm, Change::none, FngState::defectReported},
        {13, MepDefect::none, Change::none, FngState::defectClearing},
        {22.9, MepDefect::none, Change::none, FngState::defectClearing},
        {23, MepDefect::none, Change::cleared, FngState::reset}}},
      {"a higher defect raises the alarm again at once; a lower one does not",
       {{0, MepDefect::macStatus, Change::none, FngState::defect},
        {2.5, MepDefect::macStatus, Change::raised, FngState::defectReported},
        {3, MepDefect::xconCcm, Change::raised, FngState::defectReported},
        {4, MepDefect::remoteCcm, Change::none, FngState::defectReported}}},
      {"RDI alone is below the default priority",
       {{0, MepDefect::rdiCcm, Change::none, FngState::reset},
        {100, MepDefect::rdiCcm, Change::none, FngState::reset}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SoftAle::Fng fng;
    for (const auto& s : c.steps) {
      SCOPED_TRACE(s.t);
      EXPECT_EQ(fng.update(s.defect, s.t), s.change);
      EXPECT_EQ(fng.state(), s.state);
    }
  }
}

// A priority lowered while a defect stands applies at once, its timer starting then; raised
// above a standing alarm's defect, the alarm starts clearing.
TEST(Fng, SettingsChange) {
  SoftAle::Fng fng({LowestAlarmPri::xcon, kAlarm, kReset});
  EXPECT_EQ(fng.update(MepDefect::remoteCcm, 0), Change::none);
  EXPECT_EQ(fng.state(), FngState::reset);
  EXPECT_EQ(fng.settingsIs({LowestAlarmPri::remErrXcon, 3, kReset}, 1), Change::none);
  EXPECT_EQ(fng.nextDeadline(), 4);
  EXPECT_EQ(fng.update(MepDefect::remoteCcm, 4), Change::raised);
  EXPECT_EQ(fng.settingsIs({LowestAlarmPri::noXcon, 3, 5}, 6), Change::none);
  EXPECT_EQ(fng.state(), FngState::defectClearing);
  EXPECT_EQ(fng.update(MepDefect::remoteCcm, 11), Change::cleared);
}

}  // namespace
