#pragma once
// The Continuity Check Message under the agent's name: the wire library's overlay.

#include "CfmAgent/CfmPdu.h"
#include "platform/cfm/CcmWire.h"

namespace CfmAgent {

using Cfm::CCMPdu;

}  // namespace CfmAgent
