#include "platform/types/CcmDb.h"

#include <algorithm>
#include <string>
#include <utility>

namespace CfmAgent {

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

}  // namespace CfmAgent
