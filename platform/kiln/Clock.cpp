#include "platform/kiln/Clock.h"

#include <time.h>

namespace Kiln {

namespace {
std::optional<double> overrideNow;
}

double now() {
  if (overrideNow) return *overrideNow;
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void nowOverrideIs(std::optional<double> fixedNow) { overrideNow = fixedNow; }

}  // namespace Kiln
