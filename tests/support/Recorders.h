#pragma once
// Recorders of the configuration and status entities' notifications, and scripts over
// them: each step does one thing and lists exactly the notifications it must cause, in the
// words the recorders log them.

#include <gtest/gtest.h>

#include <functional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "platform/types/CfmAgentTypes.h"
#include "platform/types/CfmAleTypes.h"

namespace TestSupport {

using Log = std::vector<std::string>;

struct Step {
  std::string what;
  std::function<void()> act;
  Log expected;
};

inline void runScript(Log& log, const std::vector<Step>& steps) {
  for (const auto& step : steps) {
    SCOPED_TRACE(step.what);
    log.clear();
    step.act();
    EXPECT_EQ(log, step.expected);
  }
}

template <class... Parts>
std::string text(const Parts&... parts) {
  std::ostringstream os;
  ((os << parts), ...);
  return os.str();
}

// Each recorder logs what its watcher sees at the moment it is told (a notification sent
// before the change is stored shows the old state), after `who` when one is given.
struct ConfigRecorder : CfmAgent::Config::NotifieeConst {
  ConfigRecorder(Kiln::PtrConst<CfmAgent::Config> n, Log& log, std::string who = "")
      : NotifieeConst(n), log(log), who(std::move(who)) {}
  void onMdConfig(Cfm::MdLevel level) override {
    log.push_back(text(who, "mdConfig ", level, notifier()->mdConfig(level) ? " present" : " absent"));
  }
  void onCfmProfile(const Cfm::CfmProfileName& name) override {
    log.push_back(text(who, "cfmProfile ", name, notifier()->cfmProfile(name) ? " present" : " absent"));
  }
  Log& log;
  std::string who;
};

struct MdConfigRecorder : CfmAgent::MdConfig::NotifieeConst {
  MdConfigRecorder(Kiln::PtrConst<CfmAgent::MdConfig> n, Log& log, std::string who = "")
      : NotifieeConst(n), log(log), who(std::move(who)) {}
  void onMdName() override { log.push_back(text(who, "mdName ", notifier()->mdName())); }
  void onDefaultMip() override { log.push_back(text(who, "defaultMip ", notifier()->defaultMip())); }
  void onMaConfig(const Cfm::MaName& name) override {
    log.push_back(text(who, "maConfig ", name, notifier()->maConfig(name) ? " present" : " absent"));
  }
  Log& log;
  std::string who;
};

struct MaConfigRecorder : CfmAgent::MaConfig::NotifieeConst {
  MaConfigRecorder(Kiln::PtrConst<CfmAgent::MaConfig> n, Log& log, std::string who = "")
      : NotifieeConst(n), log(log), who(std::move(who)) {}
  void onMaName() override { log.push_back(text(who, "maName ", notifier()->maName())); }
  void onDirection() override { log.push_back(text(who, "direction ", notifier()->direction())); }
  void onPrimaryVlanId() override { log.push_back(text(who, "primaryVlanId ", notifier()->primaryVlanId())); }
  void onCfmProfileName() override {
    log.push_back(text(who, "cfmProfileName ", notifier()->cfmProfileName()));
  }
  void onLocalMepConfig(Cfm::MepId id) override {
    log.push_back(text(who, "localMepConfig ", id, notifier()->localMepConfig(id) ? " present" : " absent"));
  }
  Log& log;
  std::string who;
};

struct LocalMepConfigRecorder : CfmAgent::LocalMepConfig::NotifieeConst {
  LocalMepConfigRecorder(Kiln::PtrConst<CfmAgent::LocalMepConfig> n, Log& log, std::string who = "")
      : NotifieeConst(n), log(log), who(std::move(who)) {}
  void onIntfId() override { log.push_back(text(who, "intfId ", notifier()->intfId())); }
  void onRemoteMepConfig(Cfm::MepId id) override {
    const auto& map = notifier()->remoteMepConfig();
    const auto it = map.find(id);
    log.push_back(text(who, "remoteMepConfig ", id, " ", it == map.end() ? "absent" : it->second ? "true" : "false"));
  }
  Log& log;
  std::string who;
};

struct CfmProfileRecorder : CfmAgent::CfmProfile::NotifieeConst {
  CfmProfileRecorder(Kiln::PtrConst<CfmAgent::CfmProfile> n, Log& log, std::string who = "")
      : NotifieeConst(n), log(log), who(std::move(who)) {}
  void onCcmTxInterval() override { log.push_back(text(who, "ccmTxInterval ", notifier()->ccmTxInterval())); }
  void onCcmEnable() override { log.push_back(text(who, "ccmEnable ", notifier()->ccmEnable())); }
  Log& log;
  std::string who;
};

struct AleStatusRecorder : Cfm::AleStatus::NotifieeConst {
  AleStatusRecorder(Kiln::PtrConst<Cfm::AleStatus> n, Log& log, std::string who = "")
      : NotifieeConst(n), log(log), who(std::move(who)) {}
  void onMdStatus(Cfm::MdLevel level) override {
    log.push_back(text(who, "mdStatus ", level, notifier()->mdStatus(level) ? " present" : " absent"));
  }
  Log& log;
  std::string who;
};

struct MdAleStatusRecorder : Cfm::MdAleStatus::NotifieeConst {
  MdAleStatusRecorder(Kiln::PtrConst<Cfm::MdAleStatus> n, Log& log, std::string who = "")
      : NotifieeConst(n), log(log), who(std::move(who)) {}
  void onDefaultMip() override { log.push_back(text(who, "defaultMip ", notifier()->defaultMip())); }
  Log& log;
  std::string who;
};

}  // namespace TestSupport
