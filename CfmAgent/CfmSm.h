#pragma once
// The translation: a tree of machines that keeps the ALE layer's configuration
// ("cfm/aleConfig") an exact translation of the operator's ("cfm/config"), and the agent's
// domain status ("cfm/status") a mirror of the ALE layer's ("cfm/aleStatus").
//
//   CfmSm
//    +- ConfigSm                 watches Config: domains
//    |   +- MdConfigSm           per level: name, default MIP, associations
//    |       +- MaConfigSm       per association: name, direction, primary VLAN, profile
//    |           +- LocalMepConfigSm   per local MEP: interface, remote MEPs
//    |           +- MaCfmProfileSm     the profile in use: CCM enable and interval
//    +- StatusSm                 watches AleStatus: domains
//        +- MdStatusSm           per level: default MIP
//
// Each machine writes only the entry it was handed, so a change costs the same however
// much else is configured. The translation is one way: the ALE configuration is never read
// back, except for the keys of its collections, to sweep entries that an earlier run left.
// Tearing the tree down withdraws only the remote MEP lists: the ALE layer keeps its
// domains, associations and MEPs until the configuration itself removes them.

#include <memory>

#include "platform/kiln/Collection.h"
#include "platform/kiln/StateMachine.h"
#include "platform/types/CfmAleTypes.h"
#include "platform/types/CfmConfig.h"
#include "platform/types/CfmStatus.h"

namespace CfmAgent {

// Writes the CCM settings of one profile into one association, now and whenever they
// change.
class MaCfmProfileSm : public Kiln::StateMachine {
 public:
  MaCfmProfileSm(Kiln::PtrConst<CfmProfile> cfmProfile, Kiln::Ptr<Cfm::MaAleConfig> maAleConfig);
  ~MaCfmProfileSm() override;

  const Kiln::PtrConst<CfmProfile>& cfmProfile() const { return cfmProfile_; }
  const Kiln::Ptr<Cfm::MaAleConfig>& maAleConfig() const { return maAleConfig_; }
  // The profile's values; false and 0 without a profile.
  bool ccmEnable() const;
  Cfm::CcmTxInterval ccmTxInterval() const;

  void handleCcmEnable();
  void handleCcmTxInterval();
  void hasNotificationActiveIs(bool active);

 private:
  class Reactor;
  void handleInitialized();

  Kiln::PtrConst<CfmProfile> cfmProfile_;
  Kiln::Ptr<Cfm::MaAleConfig> maAleConfig_;
  std::unique_ptr<Reactor> reactor_;
};

// One local MEP: its interface and the remote MEPs configured true.
class LocalMepConfigSm : public Kiln::StateMachine {
 public:
  LocalMepConfigSm(Kiln::PtrConst<LocalMepConfig> localMepConfig,
                   Kiln::Ptr<Cfm::LocalMepAleConfig> localMepAleConfig);
  ~LocalMepConfigSm() override;

  const Kiln::PtrConst<LocalMepConfig>& localMepConfig() const { return localMepConfig_; }
  const Kiln::Ptr<Cfm::LocalMepAleConfig>& localMepAleConfig() const { return localMepAleConfig_; }
  // The key in the association's collection: none while there is no local MEP.
  Cfm::MepId mepId() const;

  void handleMepInterface();
  void handleRemoteMepConfig(Cfm::MepId mepId);
  void hasNotificationActiveIs(bool active);

 private:
  class Reactor;
  void handleInitialized();
  // Withdraws the remote list: the ALE layer must not keep watching MEPs of a MEP that
  // the agent no longer translates.
  void doPrepareToDie() override;

  Kiln::PtrConst<LocalMepConfig> localMepConfig_;
  Kiln::Ptr<Cfm::LocalMepAleConfig> localMepAleConfig_;
  std::unique_ptr<Reactor> reactor_;
};

// One association: its own settings, its local MEPs and the profile it resolves to (the
// one its name names, else the configuration's default, followed as profiles come and go).
class MaConfigSm : public Kiln::StateMachine {
 public:
  using LocalMepConfigSms = Kiln::Collection<Cfm::MepId, LocalMepConfigSm>;

  MaConfigSm(Kiln::PtrConst<MaConfig> maConfig, Kiln::Ptr<Cfm::MaAleConfig> maAleConfig,
             Kiln::PtrConst<Config> config);
  ~MaConfigSm() override;

  const Kiln::PtrConst<MaConfig>& maConfig() const { return maConfig_; }
  const Kiln::Ptr<Cfm::MaAleConfig>& maAleConfig() const { return maAleConfig_; }
  const Kiln::PtrConst<Config>& config() const { return config_; }
  // The key in the domain's collection: the empty name while there is no association.
  Cfm::MaName maNameKey() const;

  void handleMaName();
  void handleMepDirection();
  void handlePrimaryVlanId();
  void handleMaCfmProfile();
  void handleCfmProfile(const Cfm::CfmProfileName& profileName);
  void handleLocalMepConfig(Cfm::MepId mepId);
  void hasNotificationActiveIs(bool active);

  const LocalMepConfigSms& localMepConfigSm() const { return localMepConfigSm_; }
  Kiln::Ptr<LocalMepConfigSm> localMepConfigSmIs(Kiln::PtrConst<LocalMepConfig> localMepConfig,
                                                 Kiln::Ptr<Cfm::LocalMepAleConfig> localMepAleConfig);
  void localMepConfigSmDel(Cfm::MepId mepId) { localMepConfigSm_.del(mepId); }
  void localMepConfigSmDelAll() { localMepConfigSm_.delAll(); }

  const Kiln::Ptr<MaCfmProfileSm>& maCfmProfileSm() const { return maCfmProfileSm_; }
  Kiln::Ptr<MaCfmProfileSm> maCfmProfileSmIs(Kiln::PtrConst<CfmProfile> cfmProfile,
                                             Kiln::Ptr<Cfm::MaAleConfig> maAleConfig);
  void maCfmProfileSmDel() { Kiln::drop(maCfmProfileSm_); }

 private:
  class MaConfigReactor;
  class ConfigReactor;
  void handleInitialized();
  void doPrepareToDie() override;

  Kiln::PtrConst<MaConfig> maConfig_;
  Kiln::Ptr<Cfm::MaAleConfig> maAleConfig_;
  Kiln::PtrConst<Config> config_;
  std::unique_ptr<MaConfigReactor> maConfigReactor_;
  std::unique_ptr<ConfigReactor> configReactor_;
  LocalMepConfigSms localMepConfigSm_;
  Kiln::Ptr<MaCfmProfileSm> maCfmProfileSm_;
};

// One domain: its name and default MIP, and its associations.
class MdConfigSm : public Kiln::StateMachine {
 public:
  using MaConfigSms = Kiln::Collection<Cfm::MaName, MaConfigSm>;

  MdConfigSm(Kiln::PtrConst<MdConfig> mdConfig, Kiln::Ptr<Cfm::MdAleConfig> mdAleConfig,
             Kiln::PtrConst<Config> config);
  ~MdConfigSm() override;

  const Kiln::PtrConst<MdConfig>& mdConfig() const { return mdConfig_; }
  const Kiln::Ptr<Cfm::MdAleConfig>& mdAleConfig() const { return mdAleConfig_; }
  const Kiln::PtrConst<Config>& config() const { return config_; }
  // The key in the configuration's collection: no level while there is no domain.
  Cfm::MdLevel mdLevel() const;

  void handleMdName();
  void handleDefaultMip();
  void handleMaConfig(const Cfm::MaName& maName);
  void hasNotificationActiveIs(bool active);

  const MaConfigSms& maConfigSm() const { return maConfigSm_; }
  Kiln::Ptr<MaConfigSm> maConfigSmIs(Kiln::PtrConst<MaConfig> maConfig,
                                     Kiln::Ptr<Cfm::MaAleConfig> maAleConfig,
                                     Kiln::PtrConst<Config> config);
  void maConfigSmDel(const Cfm::MaName& maName) { maConfigSm_.del(maName); }
  void maConfigSmDelAll() { maConfigSm_.delAll(); }

 private:
  class Reactor;
  void handleInitialized();
  void doPrepareToDie() override;

  Kiln::PtrConst<MdConfig> mdConfig_;
  Kiln::Ptr<Cfm::MdAleConfig> mdAleConfig_;
  Kiln::PtrConst<Config> config_;
  std::unique_ptr<Reactor> reactor_;
  MaConfigSms maConfigSm_;
};

// The whole configuration: one machine per domain.
class ConfigSm : public Kiln::StateMachine {
 public:
  using MdConfigSms = Kiln::Collection<Cfm::MdLevel, MdConfigSm>;

  // Without a configuration or an ALE configuration there is nothing to translate.
  ConfigSm(Kiln::PtrConst<Config> config, Kiln::Ptr<Cfm::AleConfig> aleConfig);
  ~ConfigSm() override;

  const Kiln::PtrConst<Config>& config() const { return config_; }
  const Kiln::Ptr<Cfm::AleConfig>& aleConfig() const { return aleConfig_; }

  void handleMdConfig(Cfm::MdLevel level);
  void hasNotificationActiveIs(bool active);

  const MdConfigSms& mdConfigSm() const { return mdConfigSm_; }
  Kiln::Ptr<MdConfigSm> mdConfigSmIs(Kiln::PtrConst<MdConfig> mdConfig,
                                     Kiln::Ptr<Cfm::MdAleConfig> mdAleConfig,
                                     Kiln::PtrConst<Config> config);
  void mdConfigSmDel(Cfm::MdLevel level) { mdConfigSm_.del(level); }
  void mdConfigSmDelAll() { mdConfigSm_.delAll(); }

 private:
  class Reactor;
  void handleInitialized();
  void doPrepareToDie() override;

  Kiln::PtrConst<Config> config_;
  Kiln::Ptr<Cfm::AleConfig> aleConfig_;
  std::unique_ptr<Reactor> reactor_;
  MdConfigSms mdConfigSm_;
};

// One domain's ALE status mirrored into the agent's.
class MdStatusSm : public Kiln::StateMachine {
 public:
  MdStatusSm(Kiln::PtrConst<Cfm::MdAleStatus> mdAleStatus, Kiln::Ptr<MdStatus> mdStatus);
  ~MdStatusSm() override;

  const Kiln::PtrConst<Cfm::MdAleStatus>& mdAleStatus() const { return mdAleStatus_; }
  const Kiln::Ptr<MdStatus>& mdStatus() const { return mdStatus_; }
  Cfm::MdLevel mdLevel() const;

  void handleDefaultMip();
  void hasNotificationActiveIs(bool active);

 private:
  class Reactor;
  void handleInitialized();

  Kiln::PtrConst<Cfm::MdAleStatus> mdAleStatus_;
  Kiln::Ptr<MdStatus> mdStatus_;
  std::unique_ptr<Reactor> reactor_;
};

// The ALE status's domains mirrored into the agent status. It follows the ALE status, not
// the configuration, and leaves the mirror in place when it goes.
class StatusSm : public Kiln::StateMachine {
 public:
  using MdStatusSms = Kiln::Collection<Cfm::MdLevel, MdStatusSm>;

  // Without either side there is nothing to mirror.
  StatusSm(Kiln::PtrConst<Cfm::AleStatus> aleStatus, Kiln::Ptr<Status> status);
  ~StatusSm() override;

  const Kiln::PtrConst<Cfm::AleStatus>& aleStatus() const { return aleStatus_; }
  const Kiln::Ptr<Status>& status() const { return status_; }

  void handleMdStatus(Cfm::MdLevel level);
  void hasNotificationActiveIs(bool active);

  const MdStatusSms& mdStatusSm() const { return mdStatusSm_; }
  Kiln::Ptr<MdStatusSm> mdStatusSmIs(Kiln::PtrConst<Cfm::MdAleStatus> mdAleStatus,
                                     Kiln::Ptr<MdStatus> mdStatus);
  void mdStatusSmDel(Cfm::MdLevel level) { mdStatusSm_.del(level); }
  void mdStatusSmDelAll() { mdStatusSm_.delAll(); }

 private:
  class Reactor;
  void handleInitialized();

  Kiln::PtrConst<Cfm::AleStatus> aleStatus_;
  Kiln::Ptr<Status> status_;
  std::unique_ptr<Reactor> reactor_;
  MdStatusSms mdStatusSm_;
};

// The root: holds its four inputs without watching them, and builds both sides.
class CfmSm : public Kiln::StateMachine {
 public:
  CfmSm(Kiln::PtrConst<Config> config, Kiln::Ptr<Cfm::AleConfig> aleConfig,
        Kiln::PtrConst<Cfm::AleStatus> aleStatus, Kiln::Ptr<Status> status);
  ~CfmSm() override;

  const Kiln::PtrConst<Config>& config() const { return config_; }
  const Kiln::Ptr<Cfm::AleConfig>& aleConfig() const { return aleConfig_; }
  const Kiln::PtrConst<Cfm::AleStatus>& aleStatus() const { return aleStatus_; }
  const Kiln::Ptr<Status>& status() const { return status_; }

  const Kiln::Ptr<ConfigSm>& configSm() const { return configSm_; }
  Kiln::Ptr<ConfigSm> configSmIs(Kiln::PtrConst<Config> config, Kiln::Ptr<Cfm::AleConfig> aleConfig);
  void configSmDel() { Kiln::drop(configSm_); }
  const Kiln::Ptr<StatusSm>& statusSm() const { return statusSm_; }
  Kiln::Ptr<StatusSm> statusSmIs(Kiln::PtrConst<Cfm::AleStatus> aleStatus, Kiln::Ptr<Status> status);
  void statusSmDel() { Kiln::drop(statusSm_); }

 private:
  void handleInitialized();
  void doPrepareToDie() override;

  Kiln::PtrConst<Config> config_;
  Kiln::Ptr<Cfm::AleConfig> aleConfig_;
  Kiln::PtrConst<Cfm::AleStatus> aleStatus_;
  Kiln::Ptr<Status> status_;
  Kiln::Ptr<ConfigSm> configSm_;
  Kiln::Ptr<StatusSm> statusSm_;
};

Kiln::Ptr<CfmSm> cfmSmFactory(Kiln::PtrConst<Config> config, Kiln::Ptr<Cfm::AleConfig> aleConfig,
                              Kiln::PtrConst<Cfm::AleStatus> aleStatus, Kiln::Ptr<Status> status);

}  // namespace CfmAgent
