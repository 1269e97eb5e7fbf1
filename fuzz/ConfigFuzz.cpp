// Any configuration file, then any second one applied over it, as `cfmctl config apply`
// does. Input: the two documents separated by the first NUL byte.
//
// The apply step is a complete difference, so it doubles as the comparison of two states:
// a database holds exactly configuration C when applying C to it writes nothing. With that:
// a refused document leaves the database as it was; an accepted one, applied over
// anything, leaves what it leaves on an empty database.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "apps/runner/RunnerConfig.h"
#include "fuzz/Fault.h"

namespace {

using Runner::RunnerConfig;

std::optional<RunnerConfig> parsed(std::string_view text) {
  try {
    return Runner::parseText(text, "fuzz.json");
  } catch (const Runner::ConfigError&) {
    return std::nullopt;
  }
}

void holds(const RunnerConfig& config, Orbis::EntityManager& manager, const char* when) {
  const auto writes = Runner::apply(config, manager);
  if (!writes.empty()) fault(std::string(when) + ": applying again wrote " + writes.front());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto nul = input.find('\0');
  const auto first = parsed(input.substr(0, nul));
  const auto second = nul == std::string_view::npos ? std::nullopt : parsed(input.substr(nul + 1));

  Kiln::EventLoop& loop = Kiln::eventLoop();
  auto over = Kiln::make<Orbis::EntityManager>(loop);
  if (first) {
    Runner::apply(*first, *over);
    holds(*first, *over, "first document");
  }
  if (!second) {
    // Refused: what the first left is untouched.
    if (first) holds(*first, *over, "after a refused second document");
    loop.runUntilIdle();
    return 0;
  }
  Runner::apply(*second, *over);
  holds(*second, *over, "second document over the first");
  if (first) {
    // Nothing of the first may linger: the first document must find the same differences
    // from it as from the second alone.
    auto alone = Kiln::make<Orbis::EntityManager>(loop);
    Runner::apply(*second, *alone);
    if (Runner::apply(*first, *over) != Runner::apply(*first, *alone)) {
      fault("the second document over the first differs from the second alone");
    }
  }
  loop.runUntilIdle();
  return 0;
}
