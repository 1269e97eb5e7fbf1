#pragma once
// Helpers of the agent's tests: an interface's counts, and the text of what a call raises.

#include <map>
#include <string>
#include <tuple>

#include "tests/support/Errors.h"
#include "platform/types/CfmAgentTypes.h"

namespace AgentTest {

// (level, opcode, counter name) -> count, non-zero entries only.
using Counts = std::map<std::tuple<int, int, std::string>, std::uint64_t>;
inline Counts counts(const CfmAgent::Counter& counter, Lumen::IntfId intf) {
  Counts out;
  const auto intfCounter = counter.intfCounter(intf);
  if (!intfCounter) return out;
  for (const auto& [level, md] : intfCounter->mdCounter()) {
    for (const auto& [op, opc] : md->opCodeCounter()) {
      for (const auto& [id, value] : opc->counter()) {
        if (value) out[{level.value(), int(op), CfmAgent::stringValue(id)}] = value;
      }
    }
  }
  return out;
}

}  // namespace AgentTest
