#include "CfmAgent/CfmSm.h"

#include "platform/kiln/Blipline.h"
#include "platform/kiln/Errors.h"
#include "platform/kiln/Trace.h"

namespace CfmAgent {

namespace {

Kiln::TraceHandle& trace() {
  static Kiln::TraceHandle& handle = Kiln::traceHandle("Cfm");
  return handle;
}

// Every entry of an ALE collection whose key `wanted` refuses goes, in one pass.
template <class Collection, class Wanted, class Del>
void sweep(const Collection& collection, Wanted&& wanted, Del&& del) {
  for (auto it = collection.begin(); it != collection.end();) {
    if (wanted(it->first, it->second)) {
      ++it;
    } else {
      it = del(it);
    }
  }
}

}  // namespace

// ---- MaCfmProfileSm -----------------------------------------------------------------------

class MaCfmProfileSm::Reactor : public CfmProfile::NotifieeConst {
 public:
  Reactor(Kiln::PtrConst<CfmProfile> profile, MaCfmProfileSm& sm)
      : CfmProfile::NotifieeConst(std::move(profile)), sm_(sm) {}
  void onCcmEnable() override { sm_.handleCcmEnable(); }
  void onCcmTxInterval() override { sm_.handleCcmTxInterval(); }

 private:
  MaCfmProfileSm& sm_;
};

MaCfmProfileSm::MaCfmProfileSm(Kiln::PtrConst<CfmProfile> cfmProfile,
                               Kiln::Ptr<Cfm::MaAleConfig> maAleConfig)
    : Kiln::StateMachine("maCfmProfileSm"),
      cfmProfile_(std::move(cfmProfile)),
      maAleConfig_(Kiln::validPtr(std::move(maAleConfig))) {
  if (cfmProfile_) reactor_ = std::make_unique<Reactor>(cfmProfile_, *this);
  handleInitialized();
}

MaCfmProfileSm::~MaCfmProfileSm() = default;

bool MaCfmProfileSm::ccmEnable() const { return cfmProfile_ ? cfmProfile_->ccmEnable() : false; }

Cfm::CcmTxInterval MaCfmProfileSm::ccmTxInterval() const {
  return cfmProfile_ ? cfmProfile_->ccmTxInterval() : Cfm::CcmTxInterval(0.0);
}

void MaCfmProfileSm::hasNotificationActiveIs(bool active) {
  if (reactor_) reactor_->hasNotificationActiveIs(active);
}

void MaCfmProfileSm::handleInitialized() {
  KILN_TRACE(trace(), 8, "MaCfmProfileSm(" << (cfmProfile_ ? cfmProfile_->cfmProfileName() : Cfm::CfmProfileName())
                                            << ")::handleInitialized");
  BLIPLINE_BLIP();
  KILN_ASSERT(!initialized());
  handleCcmTxInterval();
  handleCcmEnable();
  initializedIs(true);
}

// Without a profile the association keeps what the ALE layer has: there is no value the
// operator asked for. The configuration always offers its default profile, so this only
// happens without a configuration.
void MaCfmProfileSm::handleCcmTxInterval() {
  if (!cfmProfile_) return;
  KILN_TRACE(trace(), 8, "MaCfmProfileSm(" << cfmProfile_->cfmProfileName() << ")::handleCcmTxInterval");
  BLIPLINE_BLIP();
  maAleConfig_->ccmTxIntervalIs(cfmProfile_->ccmTxInterval());
}

void MaCfmProfileSm::handleCcmEnable() {
  if (!cfmProfile_) return;
  KILN_TRACE(trace(), 8, "MaCfmProfileSm(" << cfmProfile_->cfmProfileName() << ")::handleCcmEnable");
  BLIPLINE_BLIP();
  maAleConfig_->ccmEnableIs(cfmProfile_->ccmEnable());
}

// ---- LocalMepConfigSm ---------------------------------------------------------------------

class LocalMepConfigSm::Reactor : public LocalMepConfig::NotifieeConst {
 public:
  Reactor(Kiln::PtrConst<LocalMepConfig> mep, LocalMepConfigSm& sm)
      : LocalMepConfig::NotifieeConst(std::move(mep)), sm_(sm) {}
  void onIntfId() override { sm_.handleMepInterface(); }
  void onRemoteMepConfig(Cfm::MepId mepId) override { sm_.handleRemoteMepConfig(mepId); }

 private:
  LocalMepConfigSm& sm_;
};

LocalMepConfigSm::LocalMepConfigSm(Kiln::PtrConst<LocalMepConfig> localMepConfig,
                                   Kiln::Ptr<Cfm::LocalMepAleConfig> localMepAleConfig)
    : Kiln::StateMachine("localMepConfigSm"),
      localMepConfig_(Kiln::validPtr(std::move(localMepConfig))),
      localMepAleConfig_(Kiln::validPtr(std::move(localMepAleConfig))),
      reactor_(std::make_unique<Reactor>(localMepConfig_, *this)) {
  handleInitialized();
}

LocalMepConfigSm::~LocalMepConfigSm() = default;

Cfm::MepId LocalMepConfigSm::mepId() const {
  return localMepConfig_ ? localMepConfig_->mepId() : Cfm::MepId();
}

void LocalMepConfigSm::hasNotificationActiveIs(bool active) {
  if (reactor_) reactor_->hasNotificationActiveIs(active);
}

void LocalMepConfigSm::handleInitialized() {
  KILN_TRACE(trace(), 8, "LocalMepConfigSm(" << mepId() << ")::handleInitialized");
  BLIPLINE_BLIP();
  KILN_ASSERT(!initialized());
  handleMepInterface();
  for (const auto& [remote, value] : localMepConfig_->remoteMepConfig()) handleRemoteMepConfig(remote);
  sweep(
      localMepAleConfig_->remoteMepConfig(),
      [&](Cfm::MepId remote, bool) { return localMepConfig_->remoteMepConfig(remote); },
      [&](auto it) { return localMepAleConfig_->remoteMepConfigDel(it); });
  initializedIs(true);
}

void LocalMepConfigSm::doPrepareToDie() {
  KILN_TRACE(trace(), 8, "LocalMepConfigSm(" << mepId() << ")::doPrepareToDie");
  reactor_.reset();
  localMepAleConfig_->remoteMepConfigDelAll();
}

void LocalMepConfigSm::handleMepInterface() {
  KILN_TRACE(trace(), 8, "LocalMepConfigSm(" << mepId() << ")::handleMepInterface");
  BLIPLINE_BLIP();
  localMepAleConfig_->intfIdIs(localMepConfig_->intfId());
}

void LocalMepConfigSm::handleRemoteMepConfig(Cfm::MepId mepId) {
  KILN_TRACE(trace(), 8,
             "LocalMepConfigSm(" << this->mepId() << ")::handleRemoteMepConfig(" << mepId << " )");
  BLIPLINE_BLIP();
  if (localMepConfig_->remoteMepConfig(mepId)) {
    localMepAleConfig_->remoteMepConfigIs(mepId, true);
  } else {
    localMepAleConfig_->remoteMepConfigDel(mepId);
  }
}

// ---- MaConfigSm ---------------------------------------------------------------------------

class MaConfigSm::MaConfigReactor : public MaConfig::NotifieeConst {
 public:
  MaConfigReactor(Kiln::PtrConst<MaConfig> ma, MaConfigSm& sm)
      : MaConfig::NotifieeConst(std::move(ma)), sm_(sm) {}
  void onMaName() override { sm_.handleMaName(); }
  void onDirection() override { sm_.handleMepDirection(); }
  void onPrimaryVlanId() override { sm_.handlePrimaryVlanId(); }
  void onCfmProfileName() override { sm_.handleMaCfmProfile(); }
  void onLocalMepConfig(Cfm::MepId mepId) override { sm_.handleLocalMepConfig(mepId); }

 private:
  MaConfigSm& sm_;
};

class MaConfigSm::ConfigReactor : public Config::NotifieeConst {
 public:
  ConfigReactor(Kiln::PtrConst<Config> config, MaConfigSm& sm)
      : Config::NotifieeConst(std::move(config)), sm_(sm) {}
  void onCfmProfile(const Cfm::CfmProfileName& name) override { sm_.handleCfmProfile(name); }

 private:
  MaConfigSm& sm_;
};

MaConfigSm::MaConfigSm(Kiln::PtrConst<MaConfig> maConfig, Kiln::Ptr<Cfm::MaAleConfig> maAleConfig,
                       Kiln::PtrConst<Config> config)
    : Kiln::StateMachine("maConfigSm"),
      maConfig_(Kiln::validPtr(std::move(maConfig))),
      maAleConfig_(Kiln::validPtr(std::move(maAleConfig))),
      config_(std::move(config)),
      maConfigReactor_(std::make_unique<MaConfigReactor>(maConfig_, *this)) {
  if (config_) configReactor_ = std::make_unique<ConfigReactor>(config_, *this);
  handleInitialized();
}

MaConfigSm::~MaConfigSm() = default;

Cfm::MaName MaConfigSm::maNameKey() const { return maConfig_ ? maConfig_->maNameKey() : Cfm::MaName(); }

void MaConfigSm::hasNotificationActiveIs(bool active) {
  if (maConfigReactor_) maConfigReactor_->hasNotificationActiveIs(active);
  if (configReactor_) configReactor_->hasNotificationActiveIs(active);
}

void MaConfigSm::handleInitialized() {
  KILN_TRACE(trace(), 8, "MaConfigSm(" << maNameKey() << ")::handleInitialized");
  BLIPLINE_BLIP();
  KILN_ASSERT(!initialized());
  handleMaCfmProfile();
  handlePrimaryVlanId();
  handleMaName();
  handleMepDirection();
  for (const auto& [mepId, mep] : maConfig_->localMepConfig()) handleLocalMepConfig(mepId);
  sweep(
      maAleConfig_->localMepConfig(),
      [&](Cfm::MepId mepId, const auto&) { return maConfig_->localMepConfig().contains(mepId); },
      [&](auto it) { return maAleConfig_->localMepConfigDel(it); });
  initializedIs(true);
}

void MaConfigSm::doPrepareToDie() {
  KILN_TRACE(trace(), 8, "MaConfigSm(" << maNameKey() << ")::doPrepareToDie");
  maConfigReactor_.reset();
  configReactor_.reset();
  maCfmProfileSmDel();
  localMepConfigSmDelAll();
}

void MaConfigSm::handleMaName() {
  KILN_TRACE(trace(), 8, "MaConfigSm(" << maNameKey() << ")::handleMaName");
  BLIPLINE_BLIP();
  maAleConfig_->maNameIs(maConfig_->maName());
}

void MaConfigSm::handleMepDirection() {
  KILN_TRACE(trace(), 8, "MaConfigSm(" << maNameKey() << ")::handleMepDirection");
  BLIPLINE_BLIP();
  maAleConfig_->directionIs(maConfig_->direction());
}

void MaConfigSm::handlePrimaryVlanId() {
  KILN_TRACE(trace(), 8, "MaConfigSm(" << maNameKey() << ")::handlePrimaryVlanId");
  BLIPLINE_BLIP();
  maAleConfig_->primaryVlanIdIs(maConfig_->primaryVlanId());
}

void MaConfigSm::handleMaCfmProfile() {
  KILN_TRACE(trace(), 8, "MaConfigSm(" << maNameKey() << ")::handleMaCfmProfile");
  BLIPLINE_BLIP();
  if (!config_) return;
  auto profile = config_->cfmProfile(maConfig_->cfmProfileName());
  maCfmProfileSmIs(profile ? profile : config_->defaultCfmProfile(), maAleConfig_);
}

void MaConfigSm::handleCfmProfile(const Cfm::CfmProfileName& profileName) {
  KILN_TRACE(trace(), 8, "MaConfigSm(" << maNameKey() << ")::handleCfmProfile(" << profileName << " )");
  BLIPLINE_BLIP();
  if (profileName == maConfig_->cfmProfileName()) handleMaCfmProfile();
}

void MaConfigSm::handleLocalMepConfig(Cfm::MepId mepId) {
  KILN_TRACE(trace(), 8, "MaConfigSm(" << maNameKey() << ")::handleLocalMepConfig(" << mepId << " )");
  BLIPLINE_BLIP();
  if (auto mep = maConfig_->localMepConfig(mepId)) {
    localMepConfigSmIs(mep, maAleConfig_->localMepConfigIs(mepId));
  } else {
    localMepConfigSmDel(mepId);
    maAleConfig_->localMepConfigDel(mepId);
  }
}

Kiln::Ptr<LocalMepConfigSm> MaConfigSm::localMepConfigSmIs(
    Kiln::PtrConst<LocalMepConfig> localMepConfig, Kiln::Ptr<Cfm::LocalMepAleConfig> localMepAleConfig) {
  const Cfm::MepId key = localMepConfig ? localMepConfig->mepId() : Cfm::MepId();
  return localMepConfigSm_.instantiate(
      key,
      [&](const LocalMepConfigSm& sm) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::keyed)("_localMepConfig", localMepConfig,
                                                           sm.localMepConfig())(
            "_localMepAleConfig", localMepAleConfig, sm.localMepAleConfig()));
      },
      [&] { return new LocalMepConfigSm(localMepConfig, localMepAleConfig); });
}

Kiln::Ptr<MaCfmProfileSm> MaConfigSm::maCfmProfileSmIs(Kiln::PtrConst<CfmProfile> cfmProfile,
                                                       Kiln::Ptr<Cfm::MaAleConfig> maAleConfig) {
  return Kiln::instantiate(
      maCfmProfileSm_,
      [&](const MaCfmProfileSm& sm) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::single)("_cfmProfile", cfmProfile, sm.cfmProfile())(
            "_maAleConfig", maAleConfig, sm.maAleConfig()));
      },
      [&] { return new MaCfmProfileSm(cfmProfile, maAleConfig); });
}

// ---- MdConfigSm ---------------------------------------------------------------------------

class MdConfigSm::Reactor : public MdConfig::NotifieeConst {
 public:
  Reactor(Kiln::PtrConst<MdConfig> md, MdConfigSm& sm) : MdConfig::NotifieeConst(std::move(md)), sm_(sm) {}
  void onMdName() override { sm_.handleMdName(); }
  void onDefaultMip() override { sm_.handleDefaultMip(); }
  void onMaConfig(const Cfm::MaName& name) override { sm_.handleMaConfig(name); }

 private:
  MdConfigSm& sm_;
};

MdConfigSm::MdConfigSm(Kiln::PtrConst<MdConfig> mdConfig, Kiln::Ptr<Cfm::MdAleConfig> mdAleConfig,
                       Kiln::PtrConst<Config> config)
    : Kiln::StateMachine("mdConfigSm"),
      mdConfig_(Kiln::validPtr(std::move(mdConfig))),
      mdAleConfig_(Kiln::validPtr(std::move(mdAleConfig))),
      config_(std::move(config)),
      reactor_(std::make_unique<Reactor>(mdConfig_, *this)) {
  handleInitialized();
}

MdConfigSm::~MdConfigSm() = default;

Cfm::MdLevel MdConfigSm::mdLevel() const { return mdConfig_ ? mdConfig_->mdLevel() : Cfm::MdLevel(); }

void MdConfigSm::hasNotificationActiveIs(bool active) {
  if (reactor_) reactor_->hasNotificationActiveIs(active);
}

void MdConfigSm::handleInitialized() {
  KILN_TRACE(trace(), 8, "MdConfigSm(" << mdLevel() << ")::handleInitialized");
  BLIPLINE_BLIP();
  KILN_ASSERT(!initialized());
  handleDefaultMip();
  handleMdName();
  for (const auto& [name, ma] : mdConfig_->maConfig()) handleMaConfig(name);
  sweep(
      mdAleConfig_->maConfig(),
      [&](const Cfm::MaName& name, const auto&) { return mdConfig_->maConfig().contains(name); },
      [&](auto it) { return mdAleConfig_->maConfigDel(it); });
  initializedIs(true);
}

void MdConfigSm::doPrepareToDie() {
  KILN_TRACE(trace(), 8, "MdConfigSm(" << mdLevel() << ")::doPrepareToDie");
  reactor_.reset();
  maConfigSmDelAll();
}

void MdConfigSm::handleDefaultMip() {
  KILN_TRACE(trace(), 8, "MdConfigSm(" << mdLevel() << ")::handleDefaultMip");
  BLIPLINE_BLIP();
  mdAleConfig_->defaultMipIs(mdConfig_->defaultMip());
}

void MdConfigSm::handleMdName() {
  const Cfm::MdNameWithFormat& name = mdConfig_->mdName();
  KILN_TRACE(trace(), 8, "MdConfigSm(" << mdLevel() << ")::handleMdName( mdName=" << name.name
                                       << ", mdFormat=" << name.format << " )");
  BLIPLINE_BLIP();
  mdAleConfig_->mdNameIs(name);
}

void MdConfigSm::handleMaConfig(const Cfm::MaName& maName) {
  KILN_TRACE(trace(), 8, "MdConfigSm(" << mdLevel() << ")::handleMaConfig( maNameId=" << maName << " )");
  BLIPLINE_BLIP();
  if (auto ma = mdConfig_->maConfig(maName)) {
    maConfigSmIs(ma, mdAleConfig_->maConfigIs(maName), config_);
  } else {
    maConfigSmDel(maName);
    mdAleConfig_->maConfigDel(maName);
  }
}

Kiln::Ptr<MaConfigSm> MdConfigSm::maConfigSmIs(Kiln::PtrConst<MaConfig> maConfig,
                                               Kiln::Ptr<Cfm::MaAleConfig> maAleConfig,
                                               Kiln::PtrConst<Config> config) {
  const Cfm::MaName key = maConfig ? maConfig->maNameKey() : Cfm::MaName();
  return maConfigSm_.instantiate(
      key,
      [&](const MaConfigSm& sm) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::keyed)("_maConfig", maConfig, sm.maConfig())(
            "_maAleConfig", maAleConfig, sm.maAleConfig())("_config", config, sm.config()));
      },
      [&] { return new MaConfigSm(maConfig, maAleConfig, config); });
}

// ---- ConfigSm -----------------------------------------------------------------------------

class ConfigSm::Reactor : public Config::NotifieeConst {
 public:
  Reactor(Kiln::PtrConst<Config> config, ConfigSm& sm) : Config::NotifieeConst(std::move(config)), sm_(sm) {}
  void onMdConfig(Cfm::MdLevel level) override { sm_.handleMdConfig(level); }

 private:
  ConfigSm& sm_;
};

ConfigSm::ConfigSm(Kiln::PtrConst<Config> config, Kiln::Ptr<Cfm::AleConfig> aleConfig)
    : Kiln::StateMachine("configSm"), config_(std::move(config)), aleConfig_(std::move(aleConfig)) {
  if (config_ && aleConfig_) reactor_ = std::make_unique<Reactor>(config_, *this);
  handleInitialized();
}

ConfigSm::~ConfigSm() = default;

void ConfigSm::hasNotificationActiveIs(bool active) {
  if (reactor_) reactor_->hasNotificationActiveIs(active);
}

void ConfigSm::handleInitialized() {
  KILN_TRACE(trace(), 8, "ConfigSm::handleInitialized");
  BLIPLINE_BLIP();
  KILN_ASSERT(!initialized());
  if (config_ && aleConfig_) {
    for (const auto& [level, md] : config_->mdConfig()) handleMdConfig(level);
    sweep(
        aleConfig_->mdConfig(),
        [&](Cfm::MdLevel level, const auto&) { return config_->mdConfig().contains(level); },
        [&](auto it) { return aleConfig_->mdConfigDel(it); });
  }
  initializedIs(true);
}

void ConfigSm::doPrepareToDie() {
  KILN_TRACE(trace(), 8, "ConfigSm::doPrepareToDie");
  reactor_.reset();
  mdConfigSmDelAll();
}

void ConfigSm::handleMdConfig(Cfm::MdLevel level) {
  KILN_TRACE(trace(), 8, "ConfigSm::handleMdConfig ( " << level << " )");
  BLIPLINE_BLIP();
  if (auto md = config_->mdConfig(level)) {
    mdConfigSmIs(md, aleConfig_->mdConfigIs(level), config_);
  } else {
    // The machines first: none of them may write into the domain once it is gone.
    mdConfigSmDel(level);
    aleConfig_->mdConfigDel(level);
  }
}

Kiln::Ptr<MdConfigSm> ConfigSm::mdConfigSmIs(Kiln::PtrConst<MdConfig> mdConfig,
                                             Kiln::Ptr<Cfm::MdAleConfig> mdAleConfig,
                                             Kiln::PtrConst<Config> config) {
  const Cfm::MdLevel key = mdConfig ? mdConfig->mdLevel() : Cfm::MdLevel();
  return mdConfigSm_.instantiate(
      key,
      [&](const MdConfigSm& sm) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::keyed)("_mdConfig", mdConfig, sm.mdConfig())(
            "_mdAleConfig", mdAleConfig, sm.mdAleConfig())("_config", config, sm.config()));
      },
      [&] { return new MdConfigSm(mdConfig, mdAleConfig, config); });
}

// ---- MdStatusSm ---------------------------------------------------------------------------

class MdStatusSm::Reactor : public Cfm::MdAleStatus::NotifieeConst {
 public:
  Reactor(Kiln::PtrConst<Cfm::MdAleStatus> md, MdStatusSm& sm)
      : Cfm::MdAleStatus::NotifieeConst(std::move(md)), sm_(sm) {}
  void onDefaultMip() override { sm_.handleDefaultMip(); }

 private:
  MdStatusSm& sm_;
};

MdStatusSm::MdStatusSm(Kiln::PtrConst<Cfm::MdAleStatus> mdAleStatus, Kiln::Ptr<MdStatus> mdStatus)
    : Kiln::StateMachine("mdStatusSm"),
      mdAleStatus_(Kiln::validPtr(std::move(mdAleStatus))),
      mdStatus_(Kiln::validPtr(std::move(mdStatus))),
      reactor_(std::make_unique<Reactor>(mdAleStatus_, *this)) {
  handleInitialized();
}

MdStatusSm::~MdStatusSm() = default;

Cfm::MdLevel MdStatusSm::mdLevel() const { return mdAleStatus_ ? mdAleStatus_->mdLevel() : Cfm::MdLevel(); }

void MdStatusSm::hasNotificationActiveIs(bool active) {
  if (reactor_) reactor_->hasNotificationActiveIs(active);
}

void MdStatusSm::handleInitialized() {
  KILN_TRACE(trace(), 8, "MdStatusSm(" << mdLevel() << ")::handleInitialized");
  BLIPLINE_BLIP();
  KILN_ASSERT(!initialized());
  handleDefaultMip();
  initializedIs(true);
}

void MdStatusSm::handleDefaultMip() {
  KILN_TRACE(trace(), 8, "MdStatusSm(" << mdLevel() << ")::handleDefaultMip");
  BLIPLINE_BLIP();
  mdStatus_->defaultMipIs(mdAleStatus_->defaultMip());
}

// ---- StatusSm -----------------------------------------------------------------------------

class StatusSm::Reactor : public Cfm::AleStatus::NotifieeConst {
 public:
  Reactor(Kiln::PtrConst<Cfm::AleStatus> aleStatus, StatusSm& sm)
      : Cfm::AleStatus::NotifieeConst(std::move(aleStatus)), sm_(sm) {}
  void onMdStatus(Cfm::MdLevel level) override { sm_.handleMdStatus(level); }

 private:
  StatusSm& sm_;
};

StatusSm::StatusSm(Kiln::PtrConst<Cfm::AleStatus> aleStatus, Kiln::Ptr<Status> status)
    : Kiln::StateMachine("statusSm"), aleStatus_(std::move(aleStatus)), status_(std::move(status)) {
  if (aleStatus_ && status_) reactor_ = std::make_unique<Reactor>(aleStatus_, *this);
  handleInitialized();
}

StatusSm::~StatusSm() = default;

void StatusSm::hasNotificationActiveIs(bool active) {
  if (reactor_) reactor_->hasNotificationActiveIs(active);
}

void StatusSm::handleInitialized() {
  KILN_TRACE(trace(), 8, "StatusSm::handleInitialized");
  BLIPLINE_BLIP();
  KILN_ASSERT(!initialized());
  if (aleStatus_ && status_) {
    for (const auto& [level, md] : aleStatus_->mdStatus()) handleMdStatus(level);
    sweep(
        status_->mdStatus(),
        [&](Cfm::MdLevel level, const auto&) { return aleStatus_->mdStatus().contains(level); },
        [&](auto it) { return status_->mdStatusDel(it); });
  }
  initializedIs(true);
}

void StatusSm::handleMdStatus(Cfm::MdLevel level) {
  KILN_TRACE(trace(), 8, "StatusSm::handleMdStatus ( " << level << " )");
  BLIPLINE_BLIP();
  if (auto md = aleStatus_->mdStatus(level)) {
    mdStatusSmIs(md, status_->mdStatusIs(level));
  } else {
    mdStatusSmDel(level);
    status_->mdStatusDel(level);
  }
}

Kiln::Ptr<MdStatusSm> StatusSm::mdStatusSmIs(Kiln::PtrConst<Cfm::MdAleStatus> mdAleStatus,
                                             Kiln::Ptr<MdStatus> mdStatus) {
  const Cfm::MdLevel key = mdAleStatus ? mdAleStatus->mdLevel() : Cfm::MdLevel();
  return mdStatusSm_.instantiate(
      key,
      [&](const MdStatusSm& sm) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::keyed)("_mdAleStatus", mdAleStatus, sm.mdAleStatus())(
            "_mdStatus", mdStatus, sm.mdStatus()));
      },
      [&] { return new MdStatusSm(mdAleStatus, mdStatus); });
}

// ---- CfmSm --------------------------------------------------------------------------------

CfmSm::CfmSm(Kiln::PtrConst<Config> config, Kiln::Ptr<Cfm::AleConfig> aleConfig,
             Kiln::PtrConst<Cfm::AleStatus> aleStatus, Kiln::Ptr<Status> status)
    : Kiln::StateMachine("cfmSm"),
      config_(std::move(config)),
      aleConfig_(std::move(aleConfig)),
      aleStatus_(std::move(aleStatus)),
      status_(std::move(status)) {
  handleInitialized();
}

CfmSm::~CfmSm() = default;

Kiln::Ptr<CfmSm> cfmSmFactory(Kiln::PtrConst<Config> config, Kiln::Ptr<Cfm::AleConfig> aleConfig,
                              Kiln::PtrConst<Cfm::AleStatus> aleStatus, Kiln::Ptr<Status> status) {
  return Kiln::make<CfmSm>(std::move(config), std::move(aleConfig), std::move(aleStatus),
                           std::move(status));
}

void CfmSm::handleInitialized() {
  KILN_TRACE(trace(), 8, "CfmSm::handleInitialized");
  BLIPLINE_BLIP();
  KILN_ASSERT(!initialized());
  configSmIs(config_, aleConfig_);
  statusSmIs(aleStatus_, status_);
  initializedIs(true);
}

// The configuration side withdraws its remote MEP lists; the status mirror stays as it is.
void CfmSm::doPrepareToDie() {
  KILN_TRACE(trace(), 8, "CfmSm::doPrepareToDie");
  configSmDel();
  statusSmDel();
}

Kiln::Ptr<ConfigSm> CfmSm::configSmIs(Kiln::PtrConst<Config> config, Kiln::Ptr<Cfm::AleConfig> aleConfig) {
  return Kiln::instantiate(
      configSm_,
      [&](const ConfigSm& sm) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::single)("_config", config, sm.config())(
            "_aleConfig", aleConfig, sm.aleConfig()));
      },
      [&] { return new ConfigSm(config, aleConfig); });
}

Kiln::Ptr<StatusSm> CfmSm::statusSmIs(Kiln::PtrConst<Cfm::AleStatus> aleStatus, Kiln::Ptr<Status> status) {
  return Kiln::instantiate(
      statusSm_,
      [&](const StatusSm& sm) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::single)("_aleStatus", aleStatus, sm.aleStatus())(
            "_status", status, sm.status()));
      },
      [&] { return new StatusSm(aleStatus, status); });
}

}  // namespace CfmAgent
