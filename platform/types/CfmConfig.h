#pragma once
// The operator's CFM configuration ("cfm/config") that the agent translates into the ALE
// layer's. Every change notifies, since the agent's state machines follow it.

#include <cstdint>
#include <map>
#include <string>

#include "platform/kiln/Collection.h"
#include "platform/kiln/Notifier.h"
#include "platform/lumen/IntfId.h"
#include "platform/types/Bridging.h"
#include "platform/types/CfmTypes.h"

namespace CfmAgent {

using Lumen::IntfId;

class CfmProfile : public Kiln::Entity {
 public:
  class NotifieeConst : public Kiln::Notifiee<CfmProfile> {
   public:
    using Kiln::Notifiee<CfmProfile>::Notifiee;
    virtual void onCcmTxInterval() {}
    virtual void onCcmEnable() {}
  };

  // Every profile starts out as the default profile: CCMs enabled, sent once a second
  // (the interval IEEE 802.1ag gives as the default), so an association that names no
  // existing profile still transmits.
  static constexpr bool defaultCcmEnable = true;
  static constexpr double defaultCcmTxInterval = 1.0;

  explicit CfmProfile(Cfm::CfmProfileName name);
  const Cfm::CfmProfileName& cfmProfileName() const { return cfmProfileName_; }

  Cfm::CcmTxInterval ccmTxInterval() const { return ccmTxInterval_; }
  void ccmTxIntervalIs(Cfm::CcmTxInterval interval) {
    Kiln::attributeIs(ccmTxInterval_, interval, notifieeList_, &NotifieeConst::onCcmTxInterval);
  }
  bool ccmEnable() const { return ccmEnable_; }
  void ccmEnableIs(bool enable) {
    Kiln::attributeIs(ccmEnable_, enable, notifieeList_, &NotifieeConst::onCcmEnable);
  }

  Kiln::NotifieeList<CfmProfile>& notifieeList() const { return notifieeList_; }

 private:
  Cfm::CfmProfileName cfmProfileName_;
  Cfm::CcmTxInterval ccmTxInterval_{defaultCcmTxInterval};
  bool ccmEnable_ = defaultCcmEnable;
  mutable Kiln::NotifieeList<CfmProfile> notifieeList_;
};

class LocalMepConfig : public Kiln::Entity {
 public:
  using RemoteMepConfigs = std::map<Cfm::MepId, bool>;

  class NotifieeConst : public Kiln::Notifiee<LocalMepConfig> {
   public:
    using Kiln::Notifiee<LocalMepConfig>::Notifiee;
    virtual void onIntfId() {}
    // The remote MEP's entry came, went or changed its value.
    virtual void onRemoteMepConfig(Cfm::MepId) {}
  };

  explicit LocalMepConfig(Cfm::MepId mepId);
  Cfm::MepId mepId() const { return mepId_; }

  IntfId intfId() const { return intfId_; }
  void intfIdIs(IntfId intf) {
    Kiln::attributeIs(intfId_, intf, notifieeList_, &NotifieeConst::onIntfId);
  }

  // False when the remote MEP is not configured.
  bool remoteMepConfig(Cfm::MepId mepId) const;
  void remoteMepConfigIs(Cfm::MepId mepId, bool value);
  void remoteMepConfigDel(Cfm::MepId mepId);
  const RemoteMepConfigs& remoteMepConfig() const { return remoteMepConfig_; }

  Kiln::NotifieeList<LocalMepConfig>& notifieeList() const { return notifieeList_; }

 private:
  Cfm::MepId mepId_;
  IntfId intfId_;
  RemoteMepConfigs remoteMepConfig_;
  mutable Kiln::NotifieeList<LocalMepConfig> notifieeList_;
};

class MaConfig : public Kiln::Entity {
 public:
  using LocalMepConfigs = Kiln::Collection<Cfm::MepId, LocalMepConfig>;

  class NotifieeConst : public Kiln::Notifiee<MaConfig> {
   public:
    using Kiln::Notifiee<MaConfig>::Notifiee;
    virtual void onMaName() {}
    virtual void onDirection() {}
    virtual void onPrimaryVlanId() {}
    virtual void onCfmProfileName() {}
    virtual void onLocalMepConfig(Cfm::MepId) {}
  };

  // The key identifies the association within its domain; `maName` is what goes on the
  // wire, with its format.
  explicit MaConfig(Cfm::MaName key);
  const Cfm::MaName& maNameKey() const { return maNameKey_; }

  const Cfm::MaNameWithFormat& maName() const { return maName_; }
  void maNameIs(const Cfm::MaNameWithFormat& name) {
    Kiln::attributeIs(maName_, name, notifieeList_, &NotifieeConst::onMaName);
  }
  Cfm::MepDirection direction() const { return direction_; }
  void directionIs(Cfm::MepDirection direction) {
    Kiln::attributeIs(direction_, direction, notifieeList_, &NotifieeConst::onDirection);
  }
  Bridging::VlanIdOrNone primaryVlanId() const { return primaryVlanId_; }
  void primaryVlanIdIs(Bridging::VlanIdOrNone vlan) {
    Kiln::attributeIs(primaryVlanId_, vlan, notifieeList_, &NotifieeConst::onPrimaryVlanId);
  }
  const Cfm::CfmProfileName& cfmProfileName() const { return cfmProfileName_; }
  void cfmProfileNameIs(const Cfm::CfmProfileName& name) {
    Kiln::attributeIs(cfmProfileName_, name, notifieeList_, &NotifieeConst::onCfmProfileName);
  }

  Kiln::Ptr<LocalMepConfig> localMepConfig(Cfm::MepId mepId) const {
    return localMepConfig_.find(mepId);
  }
  Kiln::Ptr<LocalMepConfig> localMepConfigIs(Cfm::MepId mepId);
  void localMepConfigDel(Cfm::MepId mepId);
  const LocalMepConfigs& localMepConfig() const { return localMepConfig_; }

  Kiln::NotifieeList<MaConfig>& notifieeList() const { return notifieeList_; }

 private:
  Cfm::MaName maNameKey_;
  Cfm::MaNameWithFormat maName_;
  Cfm::MepDirection direction_ = Cfm::mepDirectionDown;
  Bridging::VlanIdOrNone primaryVlanId_;
  Cfm::CfmProfileName cfmProfileName_;
  LocalMepConfigs localMepConfig_;
  mutable Kiln::NotifieeList<MaConfig> notifieeList_;
};

class MdConfig : public Kiln::Entity {
 public:
  using MaConfigs = Kiln::Collection<Cfm::MaName, MaConfig>;

  class NotifieeConst : public Kiln::Notifiee<MdConfig> {
   public:
    using Kiln::Notifiee<MdConfig>::Notifiee;
    virtual void onMdName() {}
    virtual void onDefaultMip() {}
    virtual void onMaConfig(const Cfm::MaName&) {}
  };

  explicit MdConfig(Cfm::MdLevel mdLevel);
  Cfm::MdLevel mdLevel() const { return mdLevel_; }

  const Cfm::MdNameWithFormat& mdName() const { return mdName_; }
  void mdNameIs(const Cfm::MdNameWithFormat& name) {
    Kiln::attributeIs(mdName_, name, notifieeList_, &NotifieeConst::onMdName);
  }
  bool defaultMip() const { return defaultMip_; }
  void defaultMipIs(bool defaultMip) {
    Kiln::attributeIs(defaultMip_, defaultMip, notifieeList_, &NotifieeConst::onDefaultMip);
  }

  Kiln::Ptr<MaConfig> maConfig(const Cfm::MaName& name) const { return maConfig_.find(name); }
  Kiln::Ptr<MaConfig> maConfigIs(const Cfm::MaName& name);
  void maConfigDel(const Cfm::MaName& name);
  const MaConfigs& maConfig() const { return maConfig_; }

  Kiln::NotifieeList<MdConfig>& notifieeList() const { return notifieeList_; }

 private:
  Cfm::MdLevel mdLevel_;
  Cfm::MdNameWithFormat mdName_;
  bool defaultMip_ = false;
  MaConfigs maConfig_;
  mutable Kiln::NotifieeList<MdConfig> notifieeList_;
};

class Config : public Kiln::Entity {
 public:
  using MdConfigs = Kiln::Collection<Cfm::MdLevel, MdConfig>;
  using CfmProfiles = Kiln::Collection<Cfm::CfmProfileName, CfmProfile>;

  class NotifieeConst : public Kiln::Notifiee<Config> {
   public:
    using Kiln::Notifiee<Config>::Notifiee;
    virtual void onMdConfig(Cfm::MdLevel) {}
    virtual void onCfmProfile(const Cfm::CfmProfileName&) {}
    virtual void onCcmDbEntryLimit() {}
    virtual void onMipCcmDbEntryLimit() {}
  };

  // Every valid CCM can make an entry in each CCM database, and the values that key them
  // (MA names, MEP ids, source addresses) cost an attacker nothing: the limits bound the
  // memory a flood can take. A limit bounds entries made from now on; lowering it deletes
  // nothing. docs/security.md ("Bounded memory") has the bytes per entry behind both
  // figures: the defaults, full, take a tenth of the daemon unit's MemoryMax, and the
  // largest limit full, exported once by `cfmctl show`, still fits in it.
  static constexpr std::uint32_t defaultCcmDbEntryLimit = 65536;
  static constexpr std::uint32_t defaultMipCcmDbEntryLimit = 65536;
  static constexpr std::uint32_t maxDbEntryLimit = 131072;

  explicit Config(std::string name = "config");

  // MEPs (level, MA name, MEP id) the CCM database may hold.
  std::uint32_t ccmDbEntryLimit() const { return ccmDbEntryLimit_; }
  void ccmDbEntryLimitIs(std::uint32_t limit) {
    Kiln::attributeIs(ccmDbEntryLimit_, limit, notifieeList_, &NotifieeConst::onCcmDbEntryLimit);
  }
  // (VLAN, source MAC) entries the MIP CCM database may hold, over all VLANs.
  std::uint32_t mipCcmDbEntryLimit() const { return mipCcmDbEntryLimit_; }
  void mipCcmDbEntryLimitIs(std::uint32_t limit) {
    Kiln::attributeIs(mipCcmDbEntryLimit_, limit, notifieeList_,
                      &NotifieeConst::onMipCcmDbEntryLimit);
  }

  Kiln::Ptr<MdConfig> mdConfig(Cfm::MdLevel level) const { return mdConfig_.find(level); }
  Kiln::Ptr<MdConfig> mdConfigIs(Cfm::MdLevel level);
  void mdConfigDel(Cfm::MdLevel level);
  const MdConfigs& mdConfig() const { return mdConfig_; }

  Kiln::Ptr<CfmProfile> cfmProfile(const Cfm::CfmProfileName& name) const {
    return cfmProfile_.find(name);
  }
  Kiln::Ptr<CfmProfile> cfmProfileIs(const Cfm::CfmProfileName& name);
  void cfmProfileDel(const Cfm::CfmProfileName& name);
  const CfmProfiles& cfmProfile() const { return cfmProfile_; }

  // The profile of associations whose named profile does not exist. Named "default",
  // outside the `cfmProfile` collection (a profile the operator names "default" is a
  // different one), with the values CfmProfile starts with. One object for the Config's
  // life, so that machines can stay bound to it.
  Kiln::Ptr<CfmProfile> defaultCfmProfile() const { return defaultCfmProfile_; }

  Kiln::NotifieeList<Config>& notifieeList() const { return notifieeList_; }

 private:
  MdConfigs mdConfig_;
  CfmProfiles cfmProfile_;
  Kiln::Ptr<CfmProfile> defaultCfmProfile_;
  std::uint32_t ccmDbEntryLimit_ = defaultCcmDbEntryLimit;
  std::uint32_t mipCcmDbEntryLimit_ = defaultMipCcmDbEntryLimit;
  mutable Kiln::NotifieeList<Config> notifieeList_;
};

}  // namespace CfmAgent
