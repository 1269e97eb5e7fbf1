#pragma once
// What the runner's suites share beyond the common test support: the demo configuration
// with edits, and counters read from a state export.

#include <cstdint>
#include <map>
#include <string>

#include <nlohmann/json.hpp>

#include "tests/support/Frames.h"
#include "tests/support/Scratch.h"

namespace RunnerTest {

using namespace TestSupport;

inline nlohmann::json demoConfig() { return nlohmann::json::parse(readFile(CFM_DEMO_CONFIG)); }

using Counts = std::map<std::string, std::uint64_t>;

// The non-zero counts of a state export's "counters" section, keyed
// "interface/level/opcode/name": an entry that is absent and one at 0 read the same.
inline Counts counts(const nlohmann::json& counters) {
  Counts out;
  for (const auto& [intf, levels] : counters.items()) {
    for (const auto& [level, ops] : levels.items()) {
      for (const auto& [op, names] : ops.items()) {
        for (const auto& [name, value] : names.items()) {
          if (value.get<std::uint64_t>() != 0) out[intf + "/" + level + "/" + op + "/" + name] = value.get<std::uint64_t>();
        }
      }
    }
  }
  return out;
}

}  // namespace RunnerTest
