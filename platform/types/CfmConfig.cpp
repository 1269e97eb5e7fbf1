#include "platform/types/CfmConfig.h"

#include <string>
#include <utility>

#include "platform/kiln/TypeRegistry.h"

namespace CfmAgent {

namespace {

const Kiln::TypeRegistration configType(
    "CfmAgent::Config", [](const std::string& name) { return Kiln::make<Config>(name); });

template <class Map>
typename Map::mapped_type lookup(const Map& map, const typename Map::key_type& key) {
  auto it = map.find(key);
  return it == map.end() ? typename Map::mapped_type{} : it->second;
}

}  // namespace

CfmProfile::CfmProfile(Cfm::CfmProfileName name)
    : Kiln::Entity(name.stringValue()), cfmProfileName_(std::move(name)) {}

LocalMepConfig::LocalMepConfig(Cfm::MepId mepId)
    : Kiln::Entity(std::to_string(mepId.value())), mepId_(mepId) {}

bool LocalMepConfig::remoteMepConfig(Cfm::MepId mepId) const {
  return lookup(remoteMepConfig_, mepId);
}

void LocalMepConfig::remoteMepConfigIs(Cfm::MepId mepId, bool value) {
  auto [it, inserted] = remoteMepConfig_.try_emplace(mepId, value);
  if (!inserted) {
    if (it->second == value) return;
    it->second = value;
  }
  notifieeList_.notify(&NotifieeConst::onRemoteMepConfig, mepId);
}

void LocalMepConfig::remoteMepConfigDel(Cfm::MepId mepId) {
  if (remoteMepConfig_.erase(mepId)) {
    notifieeList_.notify(&NotifieeConst::onRemoteMepConfig, mepId);
  }
}

MaConfig::MaConfig(Cfm::MaName key)
    : Kiln::Entity(key.stringValue()), maNameKey_(std::move(key)) {}

Kiln::Ptr<LocalMepConfig> MaConfig::localMepConfigIs(Cfm::MepId mepId) {
  return localMepConfig_.childIs(
      mepId, this, [&] { notifieeList_.notify(&NotifieeConst::onLocalMepConfig, mepId); });
}

void MaConfig::localMepConfigDel(Cfm::MepId mepId) {
  if (localMepConfig_.del(mepId)) {
    notifieeList_.notify(&NotifieeConst::onLocalMepConfig, mepId);
  }
}

MdConfig::MdConfig(Cfm::MdLevel mdLevel)
    : Kiln::Entity(std::to_string(mdLevel.value())), mdLevel_(mdLevel) {}

Kiln::Ptr<MaConfig> MdConfig::maConfigIs(const Cfm::MaName& name) {
  return maConfig_.childIs(name, this,
                           [&] { notifieeList_.notify(&NotifieeConst::onMaConfig, name); });
}

void MdConfig::maConfigDel(const Cfm::MaName& name) {
  if (maConfig_.del(name)) notifieeList_.notify(&NotifieeConst::onMaConfig, name);
}

Config::Config(std::string name)
    : Kiln::Entity(std::move(name)),
      defaultCfmProfile_(Kiln::make<CfmProfile>(Cfm::CfmProfileName("default"))) {
  defaultCfmProfile_->parentIs(this);
}

Kiln::Ptr<MdConfig> Config::mdConfigIs(Cfm::MdLevel level) {
  return mdConfig_.childIs(level, this,
                           [&] { notifieeList_.notify(&NotifieeConst::onMdConfig, level); });
}

void Config::mdConfigDel(Cfm::MdLevel level) {
  if (mdConfig_.del(level)) notifieeList_.notify(&NotifieeConst::onMdConfig, level);
}

Kiln::Ptr<CfmProfile> Config::cfmProfileIs(const Cfm::CfmProfileName& name) {
  return cfmProfile_.childIs(name, this,
                             [&] { notifieeList_.notify(&NotifieeConst::onCfmProfile, name); });
}

void Config::cfmProfileDel(const Cfm::CfmProfileName& name) {
  if (cfmProfile_.del(name)) notifieeList_.notify(&NotifieeConst::onCfmProfile, name);
}

}  // namespace CfmAgent
