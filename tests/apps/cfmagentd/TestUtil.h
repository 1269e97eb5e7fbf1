#pragma once
// The demo configuration, counters read from a state export, and captured frames in expectations.

#include <cstdint>
#include <map>
#include <ostream>
#include <string>

#include <nlohmann/json.hpp>

#include "apps/cfmagentd/Pcapng.h"
#include "tests/support/Frames.h"
#include "tests/support/Scratch.h"

namespace Runner {

inline bool operator==(const PcapngFrame& a, const PcapngFrame& b) {
  return a.intf == b.intf && a.time == b.time && a.bytes == b.bytes;
}
inline void PrintTo(const PcapngFrame& f, std::ostream* os) {
  *os << "{" << f.intf << ", " << f.time << ", " << f.bytes.size() << " bytes}";
}

}  // namespace Runner

namespace RunnerTest {

using namespace TestSupport;

inline nlohmann::json demoConfig() { return nlohmann::json::parse(readFile(CFM_DEMO_CONFIG)); }

using Counts = std::map<std::string, std::uint64_t>;

// The non-zero counts of a state export's "counters" section, keyed
// "interface/level/opcode/name": an entry that is absent and one at 0 read the same.
inline Counts counts(const nlohmann::json& counters) {
  Counts out;
  const nlohmann::json flat = counters.flatten();
  for (const auto& [path, value] : flat.items()) {
    if (value.is_number() && value != 0) out[path.substr(1)] = value.get<std::uint64_t>();
  }
  return out;
}

}  // namespace RunnerTest
