#pragma once
// The configuration a Linux bridge gives the runner: what its ports, VLANs and forwarding
// database make of the switch's bridging, beside the file's CFM settings.

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "apps/runner/RunnerConfig.h"
#include "platform/linux/LinuxBridge.h"

namespace Cfmagentd {

// The interfaces, bridge MAC, switchports and VLAN hosts of `fileConfig` (which names the
// bridge) filled in from `bridge`. Its ports are named by LinuxNet::portIntfs after
// `intfs`, the last naming, which becomes this one; `notes` gets what that says.
Runner::RunnerConfig bridgedConfig(const Runner::RunnerConfig& fileConfig, const LinuxNet::BridgeSnapshot& bridge,
                           std::map<int, Lumen::IntfId>& intfs, std::vector<std::string>* notes = nullptr);

// The MD levels at which the agent has a MIP: those of domains that create MIPs.
std::set<std::uint8_t> mipLevels(const Runner::RunnerConfig& config);

}  // namespace Cfmagentd
