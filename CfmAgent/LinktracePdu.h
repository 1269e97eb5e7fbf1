#pragma once
// The Linktrace Message and Reply, their TLVs and values, under the agent's names: the wire
// library's overlays.

#include "CfmAgent/CfmPdu.h"
#include "platform/cfm/LinktraceWire.h"

namespace CfmAgent {

using Cfm::Action;
using Cfm::EgressId;
using Cfm::LTMPdu;
using Cfm::LTRPdu;
using Cfm::LtmEgressIdTlv;
using Cfm::LtrEgressIdTlv;
using Cfm::RelayAction;
using Cfm::ReplyEgressTlv;
using Cfm::ReplyEgressTlvPortId;
using Cfm::ReplyIngressTlv;
using Cfm::ReplyIngressTlvPortId;
using Cfm::ReplyTlv;
using Cfm::ReplyTlvPortId;

}  // namespace CfmAgent
