#include "platform/types/CfmAgentTypes.h"

#include <algorithm>
#include <array>
#include <utility>

#include "platform/kiln/TypeRegistry.h"

namespace CfmAgent {

namespace {

const Kiln::TypeRegistration configType(
    "CfmAgent::Config", [](const std::string& name) { return Kiln::make<Config>(name); });
const Kiln::TypeRegistration statusType(
    "CfmAgent::Status", [](const std::string& name) { return Kiln::make<Status>(name); });

// Indexed by value; null where a value has no name.
constexpr auto counterIdNames = [] {
  std::array<const char*, counterIdSlots> names{};
#define CFM_AGENT_COUNTER_ID_NAME(name, number) names[number] = #name;
  CFM_AGENT_COUNTER_IDS(CFM_AGENT_COUNTER_ID_NAME)
#undef CFM_AGENT_COUNTER_ID_NAME
  return names;
}();

constexpr std::array<const char*, 6> counterClassNames = {
    "counterClassInvalid", "counterClassIn",       "counterClassInError",
    "counterClassOut",     "counterClassOutError", "counterClassDebug",
};

template <class E, std::size_t N>
std::string enumText(E value, const std::array<const char*, N>& names) {
  const auto index = static_cast<std::uint32_t>(value);
  if (index < N && names[index]) return names[index];
  return std::to_string(index);
}

template <class Map>
typename Map::mapped_type lookup(const Map& map, const typename Map::key_type& key) {
  auto it = map.find(key);
  return it == map.end() ? typename Map::mapped_type{} : it->second;
}

}  // namespace

std::string stringValue(CounterId id) { return enumText(id, counterIdNames); }

std::ostream& operator<<(std::ostream& os, CounterId id) { return os << stringValue(id); }

std::optional<CounterId> counterIdFromString(std::string_view name) {
  for (std::uint32_t i = 0; i < counterIdNames.size(); ++i) {
    if (counterIdNames[i] && name == counterIdNames[i]) return CounterId(i);
  }
  return std::nullopt;
}

std::string stringValue(CounterClass counterClass) {
  return enumText(counterClass, counterClassNames);
}

std::ostream& operator<<(std::ostream& os, CounterClass counterClass) {
  return os << stringValue(counterClass);
}

// ---- Configuration ----

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

// ---- Packet counters ----

OpCodeCounter::OpCodeCounter(Cfm::OpCode opCode)
    : Kiln::Entity(std::to_string(unsigned(opCode))), opCode_(opCode) {}

std::size_t OpCodeCounter::checkedSlot(CounterId id) {
  const auto slot = std::size_t(id);
  KILN_ASSERT_TEXT(slot < slots, "counterId");
  return slot;
}

namespace {

// The tree's root above a bucket: set as parent when the tree made the bucket; none for a
// bucket made on its own.
Counter* counterRoot(Kiln::Entity* intfCounter) {
  return intfCounter ? static_cast<Counter*>(intfCounter->parent()) : nullptr;
}

void structureChanged(Counter* root) {
  if (root) root->structureVersionInc();
}

}  // namespace

void MdCounter::opCodeCounterDel(Cfm::OpCode op) {
  if (opCodeCounter_.del(op)) structureChanged(counterRoot(parent()));
}

void MdCounter::opCodeCounterDelAll() {
  if (opCodeCounter_.empty()) return;
  opCodeCounter_.delAll();
  structureChanged(counterRoot(parent()));
}

void IntfCounter::mdCounterDel(Cfm::MdLevel level) {
  if (mdCounter_.del(level)) structureChanged(static_cast<Counter*>(parent()));
}

void IntfCounter::mdCounterDelAll() {
  if (mdCounter_.empty()) return;
  mdCounter_.delAll();
  structureChanged(static_cast<Counter*>(parent()));
}

void Counter::intfCounterDel(IntfId intf) {
  if (intfCounter_.del(intf)) structureChanged(this);
}

void Counter::intfCounterDelAll() {
  if (intfCounter_.empty()) return;
  intfCounter_.delAll();
  structureChanged(this);
}

MdCounter::MdCounter(Cfm::MdLevel mdLevel)
    : Kiln::Entity(std::to_string(mdLevel.value())), mdLevel_(mdLevel) {}

IntfCounter::IntfCounter(IntfId intfId) : Kiln::Entity(intfId.stringValue()), intfId_(intfId) {}

// ---- CCM databases ----

MipCcmDbVlan::MipCcmDbVlan(Bridging::VlanId vlanId)
    : Kiln::Entity(std::to_string(vlanId.value())), vlanId_(vlanId) {}

namespace {

// Where `srcMac` is, or belongs, in sorted entries.
template <class Entries>
auto position(Entries& entries, const EthAddr& srcMac) {
  return std::lower_bound(entries.begin(), entries.end(), srcMac,
                          [](const auto& entry, const EthAddr& mac) { return entry.first < mac; });
}

}  // namespace

IntfId MipCcmDbVlan::entry(const EthAddr& srcMac) const {
  auto it = position(entry_, srcMac);
  return it != entry_.end() && it->first == srcMac ? it->second : IntfId();
}

namespace {

// The database above a VLAN or an association: set as parent when the database made it, and
// taken back when it lets the member go, so that a member made on its own, or held on to
// after a clear, counts into no database.
MipCcmDb* mipCcmDbAbove(const MipCcmDbVlan& vlan) { return static_cast<MipCcmDb*>(vlan.parent()); }

CcmDb* ccmDbAbove(const CcmMa& ma) {
  auto* md = static_cast<CcmMd*>(ma.parent());
  return md ? static_cast<CcmDb*>(md->parent()) : nullptr;
}

}  // namespace

void MipCcmDbVlan::entryIs(const EthAddr& srcMac, IntfId intf) {
  auto it = position(entry_, srcMac);
  if (it != entry_.end() && it->first == srcMac) {
    it->second = intf;
  } else {
    entry_.emplace(it, srcMac, intf);
    if (auto* db = mipCcmDbAbove(*this)) ++db->entryCount_;
  }
}

void MipCcmDbVlan::entryDel(const EthAddr& srcMac) {
  auto it = position(entry_, srcMac);
  if (it == entry_.end() || it->first != srcMac) return;
  entry_.erase(it);
  if (auto* db = mipCcmDbAbove(*this)) --db->entryCount_;
}

void MipCcmDb::vlanDel(Bridging::VlanId vlanId) {
  if (auto vlan = vlan_.find(vlanId)) {
    entryCount_ -= vlan->entry().size();
    vlan->parentIs(nullptr);
    vlan_.del(vlanId);
  }
}

void MipCcmDb::vlanDelAll() {
  for (const auto& [vlanId, vlan] : vlan_) vlan->parentIs(nullptr);
  vlan_.delAll();
  entryCount_ = 0;
}

CcmMepInfo::CcmMepInfo(Cfm::MepId mepId)
    : Kiln::Entity(std::to_string(mepId.value())), mepId_(mepId) {}

CcmMa::CcmMa(Cfm::MaName maName) : Kiln::Entity(maName.stringValue()), maName_(std::move(maName)) {}

Kiln::Ptr<CcmMepInfo> CcmMa::ccmMepInfoIs(Cfm::MepId mepId) {
  return ccmMepInfo_.childIs(mepId, this, [this] {
    if (auto* db = ccmDbAbove(*this)) ++db->entryCount_;
  });
}

void CcmMa::ccmMepInfoDel(Cfm::MepId mepId) {
  if (!ccmMepInfo_.del(mepId)) return;
  if (auto* db = ccmDbAbove(*this)) --db->entryCount_;
}

CcmMd::CcmMd(Cfm::MdLevel mdLevel)
    : Kiln::Entity(std::to_string(mdLevel.value())), mdLevel_(mdLevel) {}

void CcmMd::ccmMaDel(const Cfm::MaName& name) {
  if (auto ma = ccmMa_.find(name)) {
    if (auto* db = static_cast<CcmDb*>(parent())) db->entryCount_ -= ma->ccmMepInfo().size();
    ma->parentIs(nullptr);
    ccmMa_.del(name);
  }
}

std::size_t CcmMd::entryCount() const {
  std::size_t count = 0;
  for (const auto& [name, ma] : ccmMa_) count += ma->ccmMepInfo().size();
  return count;
}

void CcmDb::ccmMdDel(Cfm::MdLevel level) {
  if (auto md = ccmMd_.find(level)) {
    entryCount_ -= md->entryCount();
    md->parentIs(nullptr);
    ccmMd_.del(level);
  }
}

void CcmDb::ccmMdDelAll() {
  for (const auto& [level, md] : ccmMd_) md->parentIs(nullptr);
  ccmMd_.delAll();
  entryCount_ = 0;
}

Kiln::Ptr<CcmMepInfo> CcmDb::ccmMepInfo(Cfm::MdLevel level, const Cfm::MaName& maName,
                                        Cfm::MepId mepId) const {
  const auto md = ccmMd_.find(level);
  const auto ma = md ? md->ccmMa(maName) : nullptr;
  return ma ? ma->ccmMepInfo(mepId) : nullptr;
}

// ---- Status ----

MdStatus::MdStatus(Cfm::MdLevel mdLevel)
    : Kiln::Entity(std::to_string(mdLevel.value())), mdLevel_(mdLevel) {}

namespace {

// The children take no arguments, so an existing one always stays.
template <class T>
Kiln::Ptr<T> singleChildIs(Kiln::Ptr<T>& slot, const char* name, Kiln::Entity* parent) {
  return Kiln::instantiate(
      slot, [](const T&) { return true; },
      [&] {
        auto* child = new T(name);
        child->parentIs(parent);
        return child;
      });
}

}  // namespace

Kiln::Ptr<Counter> Status::counterIs() { return singleChildIs(counter_, "counter", this); }

Kiln::Ptr<MipCcmDb> Status::mipCcmDbIs() { return singleChildIs(mipCcmDb_, "mipCcmDb", this); }

Kiln::Ptr<CcmDb> Status::ccmDbIs() { return singleChildIs(ccmDb_, "ccmDb", this); }

}  // namespace CfmAgent
