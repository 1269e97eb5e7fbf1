#pragma once
// Answers to an operator's "what would you do with this frame?", made by the agent's own
// lookups on its live databases, without sending or counting anything.

#include <map>
#include <string>

#include "CfmAgent/LinktraceSm.h"

namespace CfmAgent {

// What the linktrace engine would do with an LTM for fields "target" that the receive path
// hands over on "intf" in "vlan", with useFdbOnly when "fdbOnly" is "true": each lookup in
// the order the relay makes it and what it found, then the egress port and relay action, or
// why no reply would go out. Throws std::invalid_argument for a field it cannot read.
std::string explainLinktrace(const LinktraceSm& linktraceSm, const std::map<std::string, std::string>& fields);

}  // namespace CfmAgent
