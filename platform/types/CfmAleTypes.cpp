#include "platform/types/CfmAleTypes.h"

#include <algorithm>
#include <string>
#include <utility>

#include "platform/kiln/TypeRegistry.h"

namespace Cfm {

namespace {

const Kiln::TypeRegistration aleConfigType(
    "Cfm::AleConfig", [](const std::string& name) { return Kiln::make<AleConfig>(name); });
const Kiln::TypeRegistration aleStatusType(
    "Cfm::AleStatus", [](const std::string& name) { return Kiln::make<AleStatus>(name); });

// A child of `parent`, keyed `key`, counting on its parent's count.
template <class Collection, class Key, class Parent>
auto aleChildIs(Collection& collection, const Key& key, Parent* parent,
                const AleWriteCount& writes) {
  ++*writes;
  using Child = typename Collection::Map::mapped_type::element_type;
  return collection
      .findOrCreate(key,
                    [&] {
                      auto* child = new Child(key, writes);
                      child->parentIs(parent);
                      return child;
                    })
      .first;
}

AleWriteCount ownCount(AleWriteCount writes) {
  return writes ? std::move(writes) : std::make_shared<std::uint64_t>(0);
}

}  // namespace

LocalMepAleConfig::LocalMepAleConfig(MepId mepId, AleWriteCount writes)
    : Kiln::Entity(std::to_string(mepId.value())), writes_(ownCount(std::move(writes))), mepId_(mepId) {}

namespace {

template <class Entries>
auto remoteAt(Entries& entries, MepId mepId) {
  return std::lower_bound(entries.begin(), entries.end(), mepId,
                          [](const auto& entry, MepId id) { return entry.first < id; });
}

}  // namespace

bool LocalMepAleConfig::remoteMepConfig(MepId mepId) const {
  auto it = remoteAt(remoteMepConfig_, mepId);
  return it != remoteMepConfig_.end() && it->first == mepId && it->second;
}

void LocalMepAleConfig::remoteMepConfigIs(MepId mepId, bool value) {
  written();
  auto it = remoteAt(remoteMepConfig_, mepId);
  if (it != remoteMepConfig_.end() && it->first == mepId) {
    it->second = value;
  } else {
    remoteMepConfig_.insert(it, {mepId, value});
  }
}

void LocalMepAleConfig::remoteMepConfigDel(MepId mepId) {
  written();
  auto it = remoteAt(remoteMepConfig_, mepId);
  if (it != remoteMepConfig_.end() && it->first == mepId) remoteMepConfig_.erase(it);
}

MaAleConfig::MaAleConfig(MaName key, AleWriteCount writes)
    : Kiln::Entity(key.stringValue()), writes_(ownCount(std::move(writes))), maNameKey_(std::move(key)) {}

Kiln::Ptr<LocalMepAleConfig> MaAleConfig::localMepConfigIs(MepId mepId) {
  return aleChildIs(localMepConfig_, mepId, this, writes_);
}

MdAleConfig::MdAleConfig(MdLevel mdLevel, AleWriteCount writes)
    : Kiln::Entity(std::to_string(mdLevel.value())), writes_(ownCount(std::move(writes))), mdLevel_(mdLevel) {}

Kiln::Ptr<MaAleConfig> MdAleConfig::maConfigIs(const MaName& name) {
  return aleChildIs(maConfig_, name, this, writes_);
}

AleConfig::AleConfig(std::string name)
    : Kiln::Entity(std::move(name)), writes_(ownCount(nullptr)) {}

Kiln::Ptr<MdAleConfig> AleConfig::mdConfigIs(MdLevel level) {
  return aleChildIs(mdConfig_, level, this, writes_);
}

std::string stringValue(RemoteMepState state) {
  switch (state) {
    case RemoteMepState::idle: return "idle";
    case RemoteMepState::start: return "start";
    case RemoteMepState::failed: return "failed";
    case RemoteMepState::ok: return "ok";
  }
  return std::to_string(unsigned(state));
}

std::string stringValue(MepDefect defect) {
  switch (defect) {
    case MepDefect::none: return "none";
    case MepDefect::rdiCcm: return "rdiCcm";
    case MepDefect::macStatus: return "macStatus";
    case MepDefect::remoteCcm: return "remoteCcm";
    case MepDefect::errorCcm: return "errorCcm";
    case MepDefect::xconCcm: return "xconCcm";
  }
  return std::to_string(unsigned(defect));
}

namespace {
constexpr std::string_view lowestAlarmPriNames[] = {"allDef", "macRemErrXcon", "remErrXcon", "errXcon", "xcon", "noXcon"};
}  // namespace

std::string stringValue(LowestAlarmPri pri) {
  const unsigned i = unsigned(pri) - 1;
  return i < std::size(lowestAlarmPriNames) ? std::string(lowestAlarmPriNames[i]) : std::to_string(unsigned(pri));
}

std::optional<LowestAlarmPri> lowestAlarmPriOf(std::string_view name) {
  for (unsigned i = 0; i < std::size(lowestAlarmPriNames); ++i) {
    if (lowestAlarmPriNames[i] == name) return LowestAlarmPri(i + 1);
  }
  return std::nullopt;
}

std::string stringValue(FngState state) {
  switch (state) {
    case FngState::reset: return "fngReset";
    case FngState::defect: return "fngDefect";
    case FngState::reportDefect: return "fngReportDefect";
    case FngState::defectReported: return "fngDefectReported";
    case FngState::defectClearing: return "fngDefectClearing";
  }
  return std::to_string(unsigned(state));
}

namespace {
constexpr std::string_view pmKindNames[] = {"dmm", "slm", "1dm", "1dm-in"};
}  // namespace

std::string stringValue(PmKind kind) {
  const auto i = std::size_t(kind);
  return i < std::size(pmKindNames) ? std::string(pmKindNames[i]) : std::to_string(i);
}

std::optional<PmKind> pmKindOf(std::string_view name) {
  for (std::size_t i = 0; i < std::size_t(PmKind::oneDmIn); ++i) {
    if (pmKindNames[i] == name) return PmKind(i);
  }
  return std::nullopt;
}

LocalMepAleStatus::LocalMepAleStatus(MepId mepId)
    : Kiln::Entity(std::to_string(mepId.value())), mepId_(mepId) {}

MaAleStatus::MaAleStatus(MaName key) : Kiln::Entity(key.stringValue()), maNameKey_(std::move(key)) {}

MdAleStatus::MdAleStatus(MdLevel mdLevel)
    : Kiln::Entity(std::to_string(mdLevel.value())), mdLevel_(mdLevel) {}

Kiln::Ptr<MdAleStatus> AleStatus::mdStatusIs(MdLevel level) {
  return mdStatus_.childIs(level, this,
                           [&] { notifieeList_.notify(&NotifieeConst::onMdStatus, level); });
}

void AleStatus::mdStatusDel(MdLevel level) {
  if (mdStatus_.del(level)) notifieeList_.notify(&NotifieeConst::onMdStatus, level);
}

}  // namespace Cfm
