#pragma once
// What the software ALE layer tells an operator as it happens: one event per change of a
// fault alarm, a defect, a remote MEP's state, or the set of MEPs that run. Delivered to
// whoever the layer was given (the daemon's log and its monitor clients), on the event loop,
// in the order they happened.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/types/CfmAleTypes.h"
#include "platform/types/CfmTypes.h"

namespace SoftAle {

enum class EventKind : std::uint8_t {
  mepCreated,
  mepRemoved,
  defectRaised,
  defectCleared,
  faultAlarmRaised,
  faultAlarmCleared,
  remoteMepFailed,  // a remote MEP's timer ran out, whether it had been ok or never heard
  remoteMepOk,      // a CCM came from a remote MEP that was failed or never heard
  pmThresholdCrossed,  // a figure of a measurement interval that ended went over its limit
};
// "mepCreated", "faultAlarmRaised", ...
std::string_view stringValue(EventKind kind);

struct Event {
  EventKind kind = EventKind::mepCreated;
  double time = 0;  // seconds since the epoch
  Cfm::MdLevel mdLevel;
  Cfm::MaName maName;  // the association's key, as "cfm/aleStatus" has it
  Cfm::MepId mepId;
  Cfm::MepId remoteMepId;  // none unless a remote MEP's event
  // The defect raised or cleared; for a fault alarm, the defect that raised it.
  Cfm::MepDefect defect = Cfm::MepDefect::none;
  // pmThresholdCrossed's: the session, the figure, its value and its limit (delays in
  // nanoseconds, losses in percent).
  std::string pmSession;
  std::string_view pmFigure;
  double pmValue = 0;
  double pmThreshold = 0;
};

using EventSink = std::function<void(const Event&)>;

}  // namespace SoftAle
