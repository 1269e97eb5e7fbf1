#pragma once
// Helpers of the agent's tests: the text of the range error or assertion a call raises, and
// an interface's counts.

#include <map>
#include <string>
#include <tuple>

#include "platform/kiln/Errors.h"
#include "platform/types/CfmAgentTypes.h"

namespace AgentTest {

template <class Error, class F>
std::string errorText(F f) {
  Kiln::ThrowingAssertionScope scope;  // a failed assertion raises instead of ending the process
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}
std::string rangeError(auto f) { return errorText<Kiln::RangeException>(f); }
std::string assertionText(auto f) { return errorText<Kiln::AssertionFailure>(f); }

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
