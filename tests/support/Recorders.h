#pragma once
// Recorders of the configuration and status entities' notifications: each logs what it is
// told, in words a test can list.

#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/types/CfmAleTypes.h"
#include "platform/types/CfmConfig.h"

namespace TestSupport {

using Log = std::vector<std::string>;

template <class... Parts>
std::string text(const Parts&... parts) {
  std::ostringstream os;
  ((os << parts), ...);
  return os.str();
}

// Each recorder logs what its watcher sees at the moment it is told (a notification sent
// before the change is stored shows the old state), after `who` when one is given.
template <class Entity>
struct Recorder : Entity::NotifieeConst {
  Recorder(Kiln::PtrConst<Entity> n, Log& log, std::string who = "")
      : Entity::NotifieeConst(n), log(log), who(std::move(who)) {}
  template <class... Parts>
  void say(const Parts&... parts) {
    log.push_back(text(who, parts...));
  }
  const Entity& is() const { return *this->notifier(); }
  Log& log;
  std::string who;
};
inline const char* presence(bool present) { return present ? " present" : " absent"; }

struct ConfigRecorder : Recorder<CfmAgent::Config> {
  using Recorder::Recorder;
  void onMdConfig(Cfm::MdLevel l) override { say("mdConfig ", l, presence(is().mdConfig(l) != nullptr)); }
  void onCfmProfile(const Cfm::CfmProfileName& n) override {
    say("cfmProfile ", n, presence(is().cfmProfile(n) != nullptr));
  }
  void onCcmDbEntryLimit() override { say("ccmDbEntryLimit ", is().ccmDbEntryLimit()); }
  void onMipCcmDbEntryLimit() override { say("mipCcmDbEntryLimit ", is().mipCcmDbEntryLimit()); }
};
struct MdConfigRecorder : Recorder<CfmAgent::MdConfig> {
  using Recorder::Recorder;
  void onMdName() override { say("mdName ", is().mdName()); }
  void onDefaultMip() override { say("defaultMip ", is().defaultMip()); }
  void onMaConfig(const Cfm::MaName& n) override { say("maConfig ", n, presence(is().maConfig(n) != nullptr)); }
};
struct MaConfigRecorder : Recorder<CfmAgent::MaConfig> {
  using Recorder::Recorder;
  void onMaName() override { say("maName ", is().maName()); }
  void onDirection() override { say("direction ", is().direction()); }
  void onPrimaryVlanId() override { say("primaryVlanId ", is().primaryVlanId()); }
  void onCfmProfileName() override { say("cfmProfileName ", is().cfmProfileName()); }
  void onLocalMepConfig(Cfm::MepId id) override {
    say("localMepConfig ", id, presence(is().localMepConfig(id) != nullptr));
  }
};
struct LocalMepConfigRecorder : Recorder<CfmAgent::LocalMepConfig> {
  using Recorder::Recorder;
  void onIntfId() override { say("intfId ", is().intfId()); }
  void onRemoteMepConfig(Cfm::MepId id) override {
    const auto it = is().remoteMepConfig().find(id);
    say("remoteMepConfig ", id, " ", it == is().remoteMepConfig().end() ? "absent" : it->second ? "true" : "false");
  }
};
struct CfmProfileRecorder : Recorder<CfmAgent::CfmProfile> {
  using Recorder::Recorder;
  void onCcmTxInterval() override { say("ccmTxInterval ", is().ccmTxInterval()); }
  void onCcmEnable() override { say("ccmEnable ", is().ccmEnable()); }
};
struct AleStatusRecorder : Recorder<Cfm::AleStatus> {
  using Recorder::Recorder;
  void onMdStatus(Cfm::MdLevel l) override { say("mdStatus ", l, presence(is().mdStatus(l) != nullptr)); }
};
struct MdAleStatusRecorder : Recorder<Cfm::MdAleStatus> {
  using Recorder::Recorder;
  void onDefaultMip() override { say("defaultMip ", is().defaultMip()); }
};

// A recorder on every configuration and ALE status entity present now, each logging after
// the entity's name ("md 3: ", "mep 100: ").
struct Watchers {
  Watchers(const Kiln::Ptr<CfmAgent::Config>& config, const Kiln::Ptr<Cfm::AleStatus>& ale, Log& log) {
    all.push_back(std::make_shared<ConfigRecorder>(config, log, "config "));
    all.push_back(std::make_shared<CfmProfileRecorder>(config->defaultCfmProfile(), log, "profile default: "));
    for (const auto& [name, p] : config->cfmProfile()) {
      all.push_back(std::make_shared<CfmProfileRecorder>(p, log, text("profile ", name, ": ")));
    }
    for (const auto& [level, md] : config->mdConfig()) {
      all.push_back(std::make_shared<MdConfigRecorder>(md, log, text("md ", level, ": ")));
      for (const auto& [name, ma] : md->maConfig()) {
        all.push_back(std::make_shared<MaConfigRecorder>(ma, log, text("ma ", name, ": ")));
        for (const auto& [id, mep] : ma->localMepConfig()) {
          all.push_back(std::make_shared<LocalMepConfigRecorder>(mep, log, text("mep ", id, ": ")));
        }
      }
    }
    all.push_back(std::make_shared<AleStatusRecorder>(ale, log, "ale: "));
    for (const auto& [level, md] : ale->mdStatus()) {
      all.push_back(std::make_shared<MdAleStatusRecorder>(md, log, text("ale ", level, ": ")));
    }
  }
  std::vector<std::shared_ptr<void>> all;
};

}  // namespace TestSupport
