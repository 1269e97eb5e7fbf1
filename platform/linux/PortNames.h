#pragma once
// Which interface each port of a Linux bridge is. Every port gets one: the operator's
// choice, else the naming rule's when it is free, else a free one; and a port keeps its
// interface while it stays on the bridge, whatever other ports come and go.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/linux/LinuxBridge.h"
#include "platform/lumen/IntfId.h"

namespace LinuxNet {

// The naming rule: a device whose name ends in a number N (1-99999, no leading zero) is
// EthernetN, or Port-ChannelN when it is a bond ("swp3", "eth3", "veth-3" are Ethernet3,
// "bond2" is Port-Channel2); none when the name ends in no such number.
std::optional<Lumen::IntfId> portIntfByName(const BridgePort& port);

// The interface of each of `ports`, by interface index. `fixed` (device -> interface)
// wins, and its interfaces go to no other port even while their device is absent. A port
// of `before` (the last naming) keeps its interface unless `fixed` gives it away; a new
// port takes the rule's interface when free, else the lowest free one of its kind, new
// ports in the order of their names. `notes` gets one line per port whose interface is
// new or changed, saying why when the rule did not give it.
std::map<int, Lumen::IntfId> portIntfs(const std::map<int, BridgePort>& ports,
                                       const std::map<std::string, Lumen::IntfId>& fixed,
                                       const std::map<int, Lumen::IntfId>& before,
                                       std::vector<std::string>* notes = nullptr);

}  // namespace LinuxNet
