#include "platform/ale/Fng.h"

namespace SoftAle {

using Cfm::FngState;

Fng::Change Fng::update(Cfm::MepDefect highestDefect, double now) {
  last_ = highestDefect;
  Change change = Change::none;
  // Each pass takes one transition; the longest chain (reset, defect with no alarm time,
  // report, reported) is three, so the loop always ends.
  for (;;) {
    const bool alarms = alarming(highestDefect);
    switch (state_) {
      case FngState::reset:
        if (!alarms) return change;
        state_ = FngState::defect;
        deadline_ = now + settings_.fngAlarmTime;
        break;
      case FngState::defect:
        if (!alarms) {
          state_ = FngState::reset;
        } else if (now >= deadline_) {
          state_ = FngState::reportDefect;
        } else {
          return change;
        }
        break;
      case FngState::reportDefect:
        fngPriority_ = highestDefect;
        state_ = FngState::defectReported;
        change = Change::raised;
        break;
      case FngState::defectReported:
        if (unsigned(highestDefect) > unsigned(fngPriority_)) {
          state_ = FngState::reportDefect;
        } else if (!alarms) {
          state_ = FngState::defectClearing;
          deadline_ = now + settings_.fngResetTime;
        } else {
          return change;
        }
        break;
      case FngState::defectClearing:
        if (alarms) {
          state_ = FngState::defectReported;
        } else if (now >= deadline_) {
          state_ = FngState::reset;
          fngPriority_ = Cfm::MepDefect::none;
          return Change::cleared;
        } else {
          return change;
        }
        break;
    }
  }
}

Fng::Change Fng::settingsIs(AlarmSettings settings, double now) {
  settings_ = settings;
  return update(last_, now);
}

}  // namespace SoftAle
