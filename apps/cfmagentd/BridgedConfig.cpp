#include "apps/cfmagentd/BridgedConfig.h"

#include "platform/linux/PortNames.h"

namespace Cfmagentd {

using Lumen::EthAddr;
using Runner::RunnerConfig;
using Runner::Switchport;
using Runner::Vlan;

RunnerConfig bridgedConfig(const RunnerConfig& fileConfig, const LinuxNet::BridgeSnapshot& bridge,
                           std::map<int, Lumen::IntfId>& intfs, std::vector<std::string>* notes) {
  RunnerConfig c = fileConfig;
  c.interfaces.clear();
  c.switchports.clear();
  c.vlans.clear();
  c.bridgeMac = bridge.present ? bridge.mac : EthAddr();
  intfs = LinuxNet::portIntfs(bridge.ports, c.bridgePorts, intfs, notes);
  if (!bridge.present) return c;

  for (const auto& [index, intf] : intfs) {
    const LinuxNet::BridgePort& port = bridge.ports.at(index);
    c.interfaces[intf] = port.device;
    Switchport& sp = c.switchports[intf];
    if (!bridge.vlanFiltering) {
      sp.mode = Bridging::switchIntfModeAccess;
      sp.portVlan = c.bridgeVlan;
      continue;
    }
    const bool accessOnly = port.vlans.size() == 1 && port.vlans.contains(port.pvid) && port.vlans.at(port.pvid);
    sp.mode = accessOnly || port.vlans.empty() ? Bridging::switchIntfModeAccess : Bridging::switchIntfModeTrunk;
    sp.portVlan = Lumen::VlanIdOrNone(port.pvid);
    for (const auto& [vid, untagged] : port.vlans) {
      c.vlans[Lumen::VlanId(vid)];
      // A VLAN the bridge sends tagged is an identity entry; untagged ones have none.
      if (!accessOnly && !untagged) sp.egressVlanXlate[{vid, 0}] = Bridging::VlanXlateMapping{vid, 0};
    }
  }
  if (!bridge.vlanFiltering) c.vlans[c.bridgeVlan];

  for (const auto& entry : bridge.fdb) {
    auto intf = intfs.find(entry.ifIndex);
    if (intf == intfs.end()) continue;
    Lumen::VlanId vlan = c.bridgeVlan;
    if (bridge.vlanFiltering) {
      if (entry.vlan < 1 || entry.vlan > 4094) continue;  // matches no VLAN's frames
      vlan = Lumen::VlanId(entry.vlan);
    }
    Vlan& v = c.vlans[vlan];
    (entry.isStatic ? v.configuredHosts : v.learnedHosts)[entry.mac] = intf->second;
  }
  return c;
}

std::set<std::uint8_t> mipLevels(const RunnerConfig& config) {
  std::set<std::uint8_t> levels;
  for (const auto& [level, domain] : config.domains) {
    if (domain.defaultMip) levels.insert(level.value());
  }
  return levels;
}

}  // namespace Cfmagentd
