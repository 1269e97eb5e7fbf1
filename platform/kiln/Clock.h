#pragma once

#include <optional>

namespace Kiln {

// Current time in seconds since the epoch (the system's real-time clock), unless a fixed
// time is set: replays and tests stamp their records with the time they choose.
double now();
void nowOverrideIs(std::optional<double> fixedNow);

}  // namespace Kiln
