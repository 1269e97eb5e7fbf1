#pragma once
// The two databases continuity check reception learns CCM senders into, kept in the agent's
// status: the MIP CCM database (per VLAN: source MAC address -> interface) and the CCM
// database (per level, MA name and MEP id: where and when its last CCM was seen).

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "platform/kiln/Collection.h"
#include "platform/lumen/Eth.h"
#include "platform/lumen/IntfId.h"
#include "platform/types/Bridging.h"
#include "platform/types/CfmTypes.h"

namespace CfmAgent {

using Lumen::EthAddr;
using Lumen::IntfId;

// Which interface CCMs from a source MAC address arrived on, within one bridging VLAN.
class MipCcmDbVlan : public Kiln::Entity {
 public:
  // Sorted by address, in one array: a VLAN holds a few senders, looked up with every CCM.
  using Entries = std::vector<std::pair<EthAddr, IntfId>>;

  explicit MipCcmDbVlan(Bridging::VlanId vlanId);
  Bridging::VlanId vlanId() const { return vlanId_; }

  // The empty IntfId when the address is unknown.
  IntfId entry(const EthAddr& srcMac) const;
  // A later CCM from the same address moves it to its interface.
  void entryIs(const EthAddr& srcMac, IntfId intf);
  void entryDel(const EthAddr& srcMac);
  const Entries& entry() const { return entry_; }

 private:
  Bridging::VlanId vlanId_;
  Entries entry_;
};

class MipCcmDb : public Kiln::Entity {
 public:
  using Vlans = Kiln::IndexedCollection<Bridging::VlanId, MipCcmDbVlan, Bridging::VlanId::max + 1>;

  explicit MipCcmDb(std::string name = "mipCcmDb") : Kiln::Entity(std::move(name)) {}

  Kiln::Ptr<MipCcmDbVlan> vlan(Bridging::VlanId vlanId) const { return vlan_.find(vlanId); }
  Kiln::Ptr<MipCcmDbVlan> vlanIs(Bridging::VlanId vlanId) { return vlan_.childIs(vlanId, this); }
  void vlanDel(Bridging::VlanId vlanId);
  void vlanDelAll();
  const Vlans& vlan() const { return vlan_; }

  // Entries over all VLANs, kept as they come and go: the receiver compares it with its
  // limit on every new address, where a walk of 4,094 VLANs would cost too much.
  std::size_t entryCount() const { return entryCount_; }

 private:
  friend class MipCcmDbVlan;

  Vlans vlan_;
  std::size_t entryCount_ = 0;
};

// Where and when the last CCM from one MEP was seen.
class CcmMepInfo : public Kiln::Entity {
 public:
  explicit CcmMepInfo(Cfm::MepId mepId);
  Cfm::MepId mepId() const { return mepId_; }

  Bridging::VlanId vlanId() const { return vlanId_; }
  void vlanIdIs(Bridging::VlanId vlanId) { vlanId_ = vlanId; }
  IntfId intf() const { return intf_; }
  void intfIs(IntfId intf) { intf_ = intf; }
  EthAddr srcMac() const { return srcMac_; }
  void srcMacIs(const EthAddr& mac) { srcMac_ = mac; }
  // Seconds on Kiln::now().
  double lastCcmReceivedTime() const { return lastCcmReceivedTime_; }
  void lastCcmReceivedTimeIs(double time) { lastCcmReceivedTime_ = time; }

 private:
  Cfm::MepId mepId_;
  Bridging::VlanId vlanId_;
  IntfId intf_;
  EthAddr srcMac_;
  double lastCcmReceivedTime_ = 0.0;
};

class CcmMa : public Kiln::Entity {
 public:
  using CcmMepInfos = Kiln::Collection<Cfm::MepId, CcmMepInfo>;

  // Only the MA name bytes: CCMs with another name format or MD name share the entry.
  explicit CcmMa(Cfm::MaName maName);
  const Cfm::MaName& maName() const { return maName_; }

  Kiln::Ptr<CcmMepInfo> ccmMepInfo(Cfm::MepId mepId) const { return ccmMepInfo_.find(mepId); }
  Kiln::Ptr<CcmMepInfo> ccmMepInfoIs(Cfm::MepId mepId);
  void ccmMepInfoDel(Cfm::MepId mepId);
  const CcmMepInfos& ccmMepInfo() const { return ccmMepInfo_; }

 private:
  Cfm::MaName maName_;
  CcmMepInfos ccmMepInfo_;
};

class CcmMd : public Kiln::Entity {
 public:
  using CcmMas = Kiln::Collection<Cfm::MaName, CcmMa>;

  explicit CcmMd(Cfm::MdLevel mdLevel);
  Cfm::MdLevel mdLevel() const { return mdLevel_; }

  Kiln::Ptr<CcmMa> ccmMa(const Cfm::MaName& name) const { return ccmMa_.find(name); }
  Kiln::Ptr<CcmMa> ccmMaIs(const Cfm::MaName& name) { return ccmMa_.childIs(name, this); }
  void ccmMaDel(const Cfm::MaName& name);
  const CcmMas& ccmMa() const { return ccmMa_; }
  // The MEPs of all its associations.
  std::size_t entryCount() const;

 private:
  Cfm::MdLevel mdLevel_;
  CcmMas ccmMa_;
};

class CcmDb : public Kiln::Entity {
 public:
  using CcmMds = Kiln::Collection<Cfm::MdLevel, CcmMd>;

  explicit CcmDb(std::string name = "ccmDb") : Kiln::Entity(std::move(name)) {}

  Kiln::Ptr<CcmMd> ccmMd(Cfm::MdLevel level) const { return ccmMd_.find(level); }
  Kiln::Ptr<CcmMd> ccmMdIs(Cfm::MdLevel level) { return ccmMd_.childIs(level, this); }
  void ccmMdDel(Cfm::MdLevel level);
  void ccmMdDelAll();
  const CcmMds& ccmMd() const { return ccmMd_; }

  // The MEP at (level, MA name, MEP id), or null; creates nothing on the way.
  Kiln::Ptr<CcmMepInfo> ccmMepInfo(Cfm::MdLevel level, const Cfm::MaName& maName,
                                   Cfm::MepId mepId) const;
  // MEPs over all levels and associations, kept as they come and go: the receiver compares
  // it with its limit on every new MEP, where a walk of every association would cost too
  // much.
  std::size_t entryCount() const { return entryCount_; }

 private:
  friend class CcmMa;
  friend class CcmMd;

  CcmMds ccmMd_;
  std::size_t entryCount_ = 0;
};

}  // namespace CfmAgent
