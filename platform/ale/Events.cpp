#include "platform/ale/Events.h"

namespace SoftAle {

std::string_view stringValue(EventKind kind) {
  static constexpr std::string_view names[] = {
      "mepCreated",       "mepRemoved",        "defectRaised",    "defectCleared",
      "faultAlarmRaised", "faultAlarmCleared", "remoteMepFailed", "remoteMepOk",
      "pmThresholdCrossed",
  };
  return std::size_t(kind) < std::size(names) ? names[std::size_t(kind)] : "?";
}

}  // namespace SoftAle
