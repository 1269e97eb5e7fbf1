#pragma once
// The fault notification generator of one local MEP: turns the MEP's highest defect into a
// fault alarm that an operator acts on. A defect at or above the lowest alarm priority
// must hold for the alarm time before the alarm is raised, and be gone for the reset time
// before it clears, so that a defect that comes and goes within a few CCMs raises nothing
// and a standing alarm does not flap with it. A higher defect arriving while the alarm
// stands raises it again, with the new priority.
//
// Like MepMonitor it owns no timer or clock: the caller passes the time with every call and
// calls update() again at nextDeadline().

#include <limits>
#include <tuple>

#include "platform/types/CfmAleTypes.h"
#include "platform/types/CfmTypes.h"

namespace SoftAle {

// A local MEP: its domain's level, its association's name (the bytes) and its id.
using MepKey = std::tuple<Cfm::MdLevel, Cfm::MaName, Cfm::MepId>;

// What an operator sets per association or per MEP; the defaults are IEEE 802.1ag's.
struct AlarmSettings {
  Cfm::LowestAlarmPri lowestAlarmPri = Cfm::LowestAlarmPri::macRemErrXcon;
  double fngAlarmTime = 2.5;  // seconds, 2.5-10 in the standard's management model
  double fngResetTime = 10;
  bool operator==(const AlarmSettings&) const = default;
};

class Fng {
 public:
  enum class Change { none, raised, cleared };

  explicit Fng(AlarmSettings settings = {}) : settings_(settings) {}

  // The MEP's highest defect as of `now` (whether or not it changed): runs the state
  // machine until it rests. At most one of raised or cleared can come of one call.
  Change update(Cfm::MepDefect highestDefect, double now);
  // When update() must run again with the same defect, or infinity.
  double nextDeadline() const { return timerRunning() ? deadline_ : std::numeric_limits<double>::infinity(); }

  // A running timer keeps the time it was started with; the new times count from the next
  // start. The new priority is applied at once.
  Change settingsIs(AlarmSettings settings, double now);
  const AlarmSettings& settings() const { return settings_; }

  Cfm::FngState state() const { return state_; }
  // The alarm stands from its report until the reset time has passed without a defect.
  bool alarm() const {
    return state_ == Cfm::FngState::defectReported || state_ == Cfm::FngState::defectClearing;
  }
  // The defect that raised the standing alarm (the last one reported); none without one.
  Cfm::MepDefect alarmDefect() const { return fngPriority_; }

 private:
  bool timerRunning() const {
    return state_ == Cfm::FngState::defect || state_ == Cfm::FngState::defectClearing;
  }
  bool alarming(Cfm::MepDefect d) const { return unsigned(d) >= unsigned(settings_.lowestAlarmPri); }

  AlarmSettings settings_;
  Cfm::FngState state_ = Cfm::FngState::reset;
  Cfm::MepDefect fngPriority_ = Cfm::MepDefect::none;
  Cfm::MepDefect last_ = Cfm::MepDefect::none;
  double deadline_ = 0;  // fngWhile's expiry, while it runs
};

}  // namespace SoftAle
