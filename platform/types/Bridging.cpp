#include "platform/types/Bridging.h"

#include "platform/kiln/TypeRegistry.h"

namespace Bridging {

namespace {

const Kiln::TypeRegistration configType(
    "Bridging::Config", [](const std::string& name) { return Kiln::make<Config>(name); });
const Kiln::TypeRegistration statusType(
    "Bridging::Status", [](const std::string& name) { return Kiln::make<Status>(name); });

template <class Map>
typename Map::mapped_type lookup(const Map& map, const typename Map::key_type& key) {
  auto it = map.find(key);
  return it == map.end() ? typename Map::mapped_type{} : it->second;
}

}  // namespace

VlanXlateMapping SwitchIntfConfig::ingressVlanXlate(VlanXlateKey key) const {
  return lookup(ingressVlanXlate_, key);
}

void SwitchIntfConfig::ingressVlanXlateIs(VlanXlateKey key, VlanXlateMapping mapping) {
  ingressVlanXlate_[key] = mapping;
}

VlanXlateMapping SwitchIntfConfig::egressVlanXlate(VlanXlateKey key) const {
  return lookup(egressVlanXlate_, key);
}

void SwitchIntfConfig::egressVlanXlateIs(VlanXlateKey key, VlanXlateMapping mapping) {
  egressVlanXlate_[key] = mapping;
}

std::uint16_t outerTpid(const SwitchIntfConfig& port) {
  return port.tpid() ? port.tpid() : Lumen::ethTypeDot1Q;
}

EgressTags egressTags(const SwitchIntfConfig& port, VlanId vlan) {
  EgressTags tags;
  tags.tpid = outerTpid(port);
  if (port.mode() != switchIntfModeTrunk) return tags;
  const VlanXlateMapping mapping = port.egressVlanXlate({vlan.value(), 0});
  if (mapping.isNone()) return tags;
  if (mapping.vlan != port.portVlan().value()) tags.vids[tags.count++] = mapping.vlan;
  if (mapping.innerVlan) tags.vids[tags.count++] = mapping.innerVlan;
  return tags;
}

IngressVlan ingressVlan(const SwitchIntfConfig& port, std::uint16_t outerVid, std::uint16_t innerVid) {
  if (outerVid == 0 || port.mode() != switchIntfModeTrunk) return {port.portVlan().value(), IngressRule::portVlan};
  if (const auto mapped = port.ingressVlanXlate({outerVid, innerVid}); !mapped.isNone()) {
    return {mapped.vlan, IngressRule::mapped};
  }
  if (innerVid == 0) return {outerVid, IngressRule::singleTagged};
  if (const auto single = port.ingressVlanXlate({outerVid, 0}); !single.isNone()) {
    return {single.vlan, IngressRule::singleMapped};
  }
  return {outerVid, IngressRule::doubleTagged};
}

ConfiguredHost VlanConfig::configuredHost(const EthAddr& mac) const {
  return lookup(configuredHost_, mac);
}

LearnedHost VlanStatus::learnedHost(const EthAddr& mac) const {
  return lookup(learnedHost_, mac);
}

Kiln::Ptr<SwitchIntfConfig> Config::switchIntfConfigIs(IntfId intf) {
  return switchIntfConfig_.childIs(intf, this);
}

Kiln::Ptr<VlanConfig> Config::vlanConfigIs(VlanId vlan) {
  return vlanConfig_.childIs(vlan, this);
}

Kiln::Ptr<VlanStatus> Status::vlanStatusIs(VlanId vlan) {
  return vlanStatus_.childIs(vlan, this);
}

}  // namespace Bridging
