#pragma once
// The bridging configuration ("bridging/config") and status ("bridging/status") as far as
// CFM reads them: the bridge MAC address, each interface's switchport settings with its
// VLAN translation tables, and the configured and learned hosts of each VLAN.
// Nobody reacts to these: readers look them up for each frame.

#include <array>
#include <cstdint>
#include <map>
#include <span>

#include "platform/kiln/Collection.h"
#include "platform/lumen/Eth.h"
#include "platform/lumen/IntfId.h"
#include "platform/lumen/Types.h"

namespace Bridging {

using Lumen::EthAddr;
using Lumen::IntfId;
using VlanId = Lumen::VlanId;
using VlanIdOrNone = Lumen::VlanIdOrNone;

enum SwitchIntfMode : std::uint32_t {
  switchIntfModeAccess = 0,
  // The VLAN tag selects the VLAN.
  switchIntfModeTrunk = 1,
  switchIntfModeDot1qTunnel = 2,
  switchIntfModeTap = 3,
  switchIntfModeTool = 4,
  // Routed ports take no bridged (and so no CFM) frames.
  switchIntfModeRouted = 5,
};

// (outer VLAN id, inner VLAN id); inner 0 for a single tag.
struct VlanXlateKey {
  std::uint16_t outerVlan = 0;
  std::uint16_t innerVlan = 0;
  auto operator<=>(const VlanXlateKey&) const = default;
};

// (VLAN, inner VLAN). Read as the bridging VLAN on ingress; as the outer and inner tag to
// send on egress. The all-zero mapping means "no mapping".
struct VlanXlateMapping {
  std::uint16_t vlan = 0;
  std::uint16_t innerVlan = 0;
  bool operator==(const VlanXlateMapping&) const = default;
  bool isNone() const { return vlan == 0 && innerVlan == 0; }
};

class SwitchIntfConfig : public Kiln::Entity {
 public:
  explicit SwitchIntfConfig(IntfId intf) : Kiln::Entity(intf.stringValue()), intf_(intf) {}
  IntfId intf() const { return intf_; }

  SwitchIntfMode mode() const { return mode_; }
  void modeIs(SwitchIntfMode mode) { mode_ = mode; }
  // The VLAN of untagged frames; 0 for none.
  VlanIdOrNone portVlan() const { return portVlan_; }
  void portVlanIs(VlanIdOrNone vlan) { portVlan_ = vlan; }
  // The EtherType of the outer tag; 0 means 0x8100.
  std::uint16_t tpid() const { return tpid_; }
  void tpidIs(std::uint16_t tpid) { tpid_ = tpid; }

  // An absent key reads as the all-zero mapping.
  VlanXlateMapping ingressVlanXlate(VlanXlateKey key) const;
  void ingressVlanXlateIs(VlanXlateKey key, VlanXlateMapping mapping);
  void ingressVlanXlateDel(VlanXlateKey key) { ingressVlanXlate_.erase(key); }
  const std::map<VlanXlateKey, VlanXlateMapping>& ingressVlanXlate() const {
    return ingressVlanXlate_;
  }
  VlanXlateMapping egressVlanXlate(VlanXlateKey key) const;
  void egressVlanXlateIs(VlanXlateKey key, VlanXlateMapping mapping);
  void egressVlanXlateDel(VlanXlateKey key) { egressVlanXlate_.erase(key); }
  const std::map<VlanXlateKey, VlanXlateMapping>& egressVlanXlate() const {
    return egressVlanXlate_;
  }

 private:
  IntfId intf_;
  SwitchIntfMode mode_ = switchIntfModeAccess;
  VlanIdOrNone portVlan_;
  std::uint16_t tpid_ = 0;
  std::map<VlanXlateKey, VlanXlateMapping> ingressVlanXlate_;
  std::map<VlanXlateKey, VlanXlateMapping> egressVlanXlate_;
};

// The TPID that announces the port's outer tag: its configured one, 0x8100 when it has none.
// An inner tag is always 0x8100.
std::uint16_t outerTpid(const SwitchIntfConfig& port);

// The VLAN tags a frame of a bridging VLAN carries out of a port, outer first, under the
// port's outer TPID.
struct EgressTags {
  std::uint16_t tpid = Lumen::ethTypeDot1Q;
  std::array<std::uint16_t, 2> vids{};
  std::uint8_t count = 0;

  std::span<const std::uint16_t> vlans() const { return {vids.data(), count}; }
  bool operator==(const EgressTags&) const = default;
};

// A trunk tags a VLAN its egress translation maps, with the mapping's outer and (when not
// 0) inner VLAN; a VLAN it does not map, and every VLAN of any other mode, goes untagged.
// A mapped outer tag equal to the port's native VLAN is left off, as the native VLAN is
// untagged on the wire: an inner tag then goes alone, under the outer TPID.
EgressTags egressTags(const SwitchIntfConfig& port, VlanId vlan);

// The bridging VLAN of a frame received on `port` with these tags (0: none), and which
// rule gave it. Untagged frames, and every frame of a port that is not a trunk, belong to
// the port's VLAN; on a trunk a tag pair the ingress translation maps goes where it says,
// a single tag to its own VLAN, and an unmapped pair by its outer tag alone: mapped when
// that is, else its own VLAN.
enum class IngressRule : std::uint8_t { portVlan, mapped, singleTagged, singleMapped, doubleTagged };
struct IngressVlan {
  std::uint16_t vlan = 0;
  IngressRule rule = IngressRule::portVlan;
};
IngressVlan ingressVlan(const SwitchIntfConfig& port, std::uint16_t outerVid, std::uint16_t innerVid);

// A host by MAC address: the interface it is reached through. The default (no interface)
// means "no such host".
struct ConfiguredHost {
  IntfId intf;
  bool operator==(const ConfiguredHost&) const = default;
};
struct LearnedHost {
  IntfId intf;
  bool operator==(const LearnedHost&) const = default;
};

class VlanConfig : public Kiln::Entity {
 public:
  explicit VlanConfig(VlanId vlan) : Kiln::Entity(std::to_string(vlan.value())), vlan_(vlan) {}
  VlanId vlan() const { return vlan_; }
  // The default ConfiguredHost when there is none.
  ConfiguredHost configuredHost(const EthAddr& mac) const;
  void configuredHostIs(const EthAddr& mac, ConfiguredHost host) { configuredHost_[mac] = host; }
  void configuredHostDel(const EthAddr& mac) { configuredHost_.erase(mac); }
  const std::map<EthAddr, ConfiguredHost>& configuredHost() const { return configuredHost_; }

 private:
  VlanId vlan_;
  std::map<EthAddr, ConfiguredHost> configuredHost_;
};

class Config : public Kiln::Entity {
 public:
  explicit Config(std::string name = "config") : Kiln::Entity(std::move(name)) {}

  EthAddr bridgeMacAddr() const { return bridgeMacAddr_; }
  void bridgeMacAddrIs(const EthAddr& mac) { bridgeMacAddr_ = mac; }

  Kiln::Ptr<SwitchIntfConfig> switchIntfConfig(IntfId intf) const {
    return switchIntfConfig_.find(intf);
  }
  Kiln::Ptr<SwitchIntfConfig> switchIntfConfigIs(IntfId intf);
  void switchIntfConfigDel(IntfId intf) { switchIntfConfig_.del(intf); }
  const Kiln::Collection<IntfId, SwitchIntfConfig>& switchIntfConfig() const {
    return switchIntfConfig_;
  }

  Kiln::Ptr<VlanConfig> vlanConfig(VlanId vlan) const { return vlanConfig_.find(vlan); }
  Kiln::Ptr<VlanConfig> vlanConfigIs(VlanId vlan);
  void vlanConfigDel(VlanId vlan) { vlanConfig_.del(vlan); }
  const Kiln::Collection<VlanId, VlanConfig>& vlanConfig() const { return vlanConfig_; }

 private:
  EthAddr bridgeMacAddr_;
  Kiln::Collection<IntfId, SwitchIntfConfig> switchIntfConfig_;
  Kiln::Collection<VlanId, VlanConfig> vlanConfig_;
};

class VlanStatus : public Kiln::Entity {
 public:
  explicit VlanStatus(VlanId vlan) : Kiln::Entity(std::to_string(vlan.value())), vlan_(vlan) {}
  VlanId vlan() const { return vlan_; }
  // The default LearnedHost when there is none.
  LearnedHost learnedHost(const EthAddr& mac) const;
  void learnedHostIs(const EthAddr& mac, LearnedHost host) { learnedHost_[mac] = host; }
  void learnedHostDel(const EthAddr& mac) { learnedHost_.erase(mac); }
  const std::map<EthAddr, LearnedHost>& learnedHost() const { return learnedHost_; }

 private:
  VlanId vlan_;
  std::map<EthAddr, LearnedHost> learnedHost_;
};

class Status : public Kiln::Entity {
 public:
  explicit Status(std::string name = "status") : Kiln::Entity(std::move(name)) {}

  // In VLAN order.
  Kiln::Ptr<VlanStatus> vlanStatus(VlanId vlan) const { return vlanStatus_.find(vlan); }
  Kiln::Ptr<VlanStatus> vlanStatusIs(VlanId vlan);
  void vlanStatusDel(VlanId vlan) { vlanStatus_.del(vlan); }
  const Kiln::Collection<VlanId, VlanStatus>& vlanStatus() const { return vlanStatus_; }

 private:
  Kiln::Collection<VlanId, VlanStatus> vlanStatus_;
};

}  // namespace Bridging
