#include "platform/intf/IntfStatusManager.h"

#include <vector>

#include "platform/kiln/TypeRegistry.h"

namespace KernelNetInfo {

namespace {
const Kiln::TypeRegistration statusType(
    "KernelNetInfo::Status", [](const std::string& name) { return Kiln::make<Status>(name); });
}  // namespace

void Status::deviceIs(const std::string& deviceName, int ifIndex, std::uint32_t mtu) {
  auto existing = device_.find(deviceName);
  if (existing && existing->ifIndex() == ifIndex && existing->mtu() == mtu) return;
  auto device = Kiln::make<Device>(deviceName, ifIndex, mtu);
  device->parentIs(this);
  device_.insert(deviceName, device);
  notifieeList_.notify(&NotifieeConst::onDevice, deviceName);
}

void Status::deviceDel(const std::string& deviceName) {
  if (device_.del(deviceName)) notifieeList_.notify(&NotifieeConst::onDevice, deviceName);
}

}  // namespace KernelNetInfo

namespace Interface {

NetNsIntfStatusManagerRoot::NetNsIntfStatusManagerRoot(
    Kiln::EventLoop* activity, Kiln::PtrConst<AllIntfStatusDir> allIntfStatusDir,
    Kiln::PtrConst<AllIntfStatusLocalDir> allIntfStatusLocalDir, bool filterByNetNs)
    : Kiln::Entity("intfStatusManagerRoot"),
      activity_(activity),
      allIntfStatusDir_(std::move(allIntfStatusDir)),
      allIntfStatusLocalDir_(std::move(allIntfStatusLocalDir)),
      filterByNetNs_(filterByNetNs) {}

NetNsIntfStatusManagerRoot::~NetNsIntfStatusManagerRoot() { Kiln::drop(manager_); }

Kiln::Ptr<NetNsIntfStatusManager> NetNsIntfStatusManagerRoot::intfStatusManagerIs(
    Kiln::EventLoop* activity, Kiln::Ptr<DeviceIntfStatusDir> deviceIntfStatusDir,
    Kiln::PtrConst<KernelNetInfo::Status> kniStatus, const Lumen::NamespaceName& nsName) {
  if (activity) activity_ = activity;
  return Kiln::instantiate(
      manager_,
      [&](const NetNsIntfStatusManager& m) {
        return bool(Kiln::ArgMatch(Kiln::ChildKind::single)(
            "_deviceIntfStatusDir", deviceIntfStatusDir, m.deviceIntfStatusDir())(
            "_kniStatus", kniStatus, m.kniStatus())("_nsName", nsName.stringValue(),
                                                    m.nsName().stringValue()));
      },
      [&] { return new NetNsIntfStatusManager(*this, deviceIntfStatusDir, kniStatus, nsName); });
}

class NetNsIntfStatusManager::StatusReactor : public AllIntfStatusDir::NotifieeConst {
 public:
  StatusReactor(Kiln::PtrConst<AllIntfStatusDir> dir, NetNsIntfStatusManager& manager)
      : AllIntfStatusDir::NotifieeConst(std::move(dir)), manager_(manager) {}
  void onIntfStatus(IntfId intf) override { manager_.handleIntf(intf); }

 private:
  NetNsIntfStatusManager& manager_;
};

class NetNsIntfStatusManager::KniReactor : public KernelNetInfo::Status::NotifieeConst {
 public:
  KniReactor(Kiln::PtrConst<KernelNetInfo::Status> status, NetNsIntfStatusManager& manager)
      : KernelNetInfo::Status::NotifieeConst(std::move(status)), manager_(manager) {}
  void onDevice(const std::string& deviceName) override { manager_.handleDevice(deviceName); }

 private:
  NetNsIntfStatusManager& manager_;
};

NetNsIntfStatusManager::NetNsIntfStatusManager(const NetNsIntfStatusManagerRoot& root,
                                               Kiln::Ptr<DeviceIntfStatusDir> deviceIntfStatusDir,
                                               Kiln::PtrConst<KernelNetInfo::Status> kniStatus,
                                               Lumen::NamespaceName nsName)
    : Kiln::StateMachine("intfStatusManager"),
      allIntfStatusDir_(root.allIntfStatusDir()),
      allIntfStatusLocalDir_(root.allIntfStatusLocalDir()),
      filterByNetNs_(root.filterByNetNs()),
      deviceIntfStatusDir_(std::move(deviceIntfStatusDir)),
      kniStatus_(std::move(kniStatus)),
      nsName_(std::move(nsName)) {
  if (allIntfStatusDir_) allReactor_ = std::make_unique<StatusReactor>(allIntfStatusDir_, *this);
  if (allIntfStatusLocalDir_) {
    localReactor_ = std::make_unique<StatusReactor>(allIntfStatusLocalDir_, *this);
  }
  if (kniStatus_) kniReactor_ = std::make_unique<KniReactor>(kniStatus_, *this);
  handleInitialized();
}

NetNsIntfStatusManager::~NetNsIntfStatusManager() = default;

Kiln::PtrConst<IntfStatus> NetNsIntfStatusManager::statusOf(IntfId intf) const {
  // This cell's own entry wins over the system-wide one.
  if (allIntfStatusLocalDir_) {
    if (auto local = allIntfStatusLocalDir_->intfStatus(intf)) return local;
  }
  return allIntfStatusDir_ ? allIntfStatusDir_->intfStatus(intf) : nullptr;
}

void NetNsIntfStatusManager::handleInitialized() {
  KILN_ASSERT(!initialized());
  if (deviceIntfStatusDir_) {
    std::vector<IntfId> published;
    for (const auto& [intf, entry] : deviceIntfStatusDir_->deviceIntfStatus()) {
      published.push_back(intf);
    }
    for (IntfId intf : published) handleIntf(intf);
  }
  for (const auto* dir : {allIntfStatusDir_.get(), static_cast<const AllIntfStatusDir*>(
                                                        allIntfStatusLocalDir_.get())}) {
    if (!dir) continue;
    for (const auto& [intf, status] : dir->intfStatus()) handleIntf(intf);
  }
  initializedIs(true);
}

void NetNsIntfStatusManager::handleIntf(IntfId intf) {
  if (!deviceIntfStatusDir_) return;
  auto status = statusOf(intf);
  auto device = status && kniStatus_ ? kniStatus_->device(status->deviceName()) : nullptr;
  if (!status || status->deviceName().empty() || (filterByNetNs_ && !device)) {
    deviceIntfStatusDir_->deviceIntfStatusDel(intf);
    return;
  }
  deviceIntfStatusDir_->deviceIntfStatusIs(intf, status->deviceName(), device ? device->ifIndex() : 0,
                                           device ? device->mtu() : KernelNetInfo::defaultMtu);
}

void NetNsIntfStatusManager::handleDevice(const std::string& deviceName) {
  std::vector<IntfId> affected;
  for (const auto* dir : {allIntfStatusDir_.get(), static_cast<const AllIntfStatusDir*>(
                                                        allIntfStatusLocalDir_.get())}) {
    if (!dir) continue;
    for (const auto& [intf, status] : dir->intfStatus()) {
      if (status->deviceName() == deviceName) affected.push_back(intf);
    }
  }
  for (IntfId intf : affected) handleIntf(intf);
}

}  // namespace Interface
