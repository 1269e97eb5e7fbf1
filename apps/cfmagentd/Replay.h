#pragma once
// Replay: the frames of a pcapng capture delivered to the agent in order, on the interfaces
// their interface blocks name, over the in-memory wire; every frame the agent sends is
// written to another capture under its egress interface. Needs no privileges and gives the
// same counters as live frames would.

#include <cstddef>
#include <string>

#include "apps/cfmagentd/Daemon.h"

namespace Cfmagentd {

struct ReplayCounts {
  std::size_t received = 0;
  std::size_t sent = 0;
};

// Runs the loop until idle after each frame. The clock reads each frame's timestamp while
// it is handled, so what the agent records is the same on every run. An interface name
// that is not in the configuration's map raises std::runtime_error naming the frame,
// before any later frame is delivered.
ReplayCounts replay(Daemon& daemon, Kiln::EventLoop& loop, const std::string& in,
                    const std::string& capture);

}  // namespace Cfmagentd
