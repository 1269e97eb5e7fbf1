#pragma once
// Answers to an operator's questions, made by the agent's own lookups and sums over its live
// state, without sending, counting or changing anything.

#include <map>
#include <string>

#include "CfmAgent/CounterHelper.h"
#include "CfmAgent/LinktraceSm.h"

namespace CfmAgent {

// What the linktrace engine would do with an LTM for fields "target" that the receive path
// hands over on "intf" in "vlan", with useFdbOnly when "fdbOnly" is "true": each lookup in
// the order the relay makes it and what it found, then the egress port and relay action, or
// why no reply would go out. Throws std::invalid_argument for a field it cannot read.
std::string explainLinktrace(const LinktraceSm& linktraceSm, const std::map<std::string, std::string>& fields);

// The counters a filter selects, summed by the counter helper's own aggregation: "by" is
// "class" or "id"; "intf", "level" (0-8), "opcode" (0-255), "class" (in, inError, out,
// outError, debug) and "id" (counter names) are comma-separated lists, absent or empty for
// all. One line per sum, "<class or counter name> <sum>", in class or identifier order.
// Throws std::invalid_argument for a field it cannot read.
std::string counterSums(const CounterHelper& counterHelper, const std::map<std::string, std::string>& fields);

}  // namespace CfmAgent
