#include "apps/cfmagentd/Replay.h"

#include <stdexcept>

#include "apps/cfmagentd/Pcapng.h"
#include "platform/intf/MemoryPam.h"
#include "platform/kiln/Clock.h"

namespace Cfmagentd {

ReplayCounts replay(Daemon& daemon, Kiln::EventLoop& loop, const std::string& in,
                    const std::string& capture) {
  const auto frames = readPcapng(in);
  PcapngWriter out(capture);
  auto& wire = Interface::memoryPamNetwork();
  wire.sentClear();
  loop.runUntilIdle();

  ReplayCounts counts;
  struct ClockGuard {
    ~ClockGuard() { Kiln::nowOverrideIs(std::nullopt); }
  } clockGuard;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    const auto& frame = frames[i];
    const std::string where = in + ": frame " + std::to_string(i + 1);
    const auto intf = daemon.intfOf(frame.intf);
    if (!intf) {
      throw std::runtime_error(where + ": interface '" + frame.intf + "' is not in the configuration");
    }
    Kiln::nowOverrideIs(double(frame.time) / 1e6);
    if (!wire.inject(*intf, frame.bytes)) {
      throw std::runtime_error(where + ": " + intf->stringValue() + " has no packet socket");
    }
    ++counts.received;
    loop.runUntilIdle();
    for (const auto& sent : wire.sent()) out.write(sent.intf.stringValue(), frame.time, sent.bytes);
    counts.sent += wire.sent().size();
    wire.sentClear();
  }
  out.flush();
  return counts;
}

}  // namespace Cfmagentd
