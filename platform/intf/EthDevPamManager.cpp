#include "platform/intf/EthDevPamManager.h"

#include <cstdio>
#include <exception>

#include "platform/intf/MemoryPam.h"

namespace Interface {

namespace {

EthDevPamManager::DeviceFactory& defaultFactory() {
  static EthDevPamManager::DeviceFactory factory;
  return factory;
}

std::unique_ptr<PamDevice> memoryDevice(EthDevPam& pam, const DeviceIntfStatus*,
                                        const PamSettings&) {
  return memoryPamNetwork().deviceIs(pam);
}

}  // namespace

class EthDevPamManager::DesiredReactor : public PamDesiredIntfDir::NotifieeConst {
 public:
  DesiredReactor(Kiln::PtrConst<PamDesiredIntfDir> dir, EthDevPamManager& manager)
      : PamDesiredIntfDir::NotifieeConst(std::move(dir)), manager_(manager) {}
  void onIntfDesired(IntfId intf) override { manager_.handleIntf(intf); }

 private:
  EthDevPamManager& manager_;
};

class EthDevPamManager::DeviceReactor : public DeviceIntfStatusDir::NotifieeConst {
 public:
  DeviceReactor(Kiln::PtrConst<DeviceIntfStatusDir> dir, EthDevPamManager& manager)
      : DeviceIntfStatusDir::NotifieeConst(std::move(dir)), manager_(manager) {}
  void onDeviceIntfStatus(IntfId intf) override { manager_.handleIntf(intf); }

 private:
  EthDevPamManager& manager_;
};

void EthDevPamManager::defaultDeviceFactoryIs(DeviceFactory factory) {
  defaultFactory() = std::move(factory);
}

EthDevPamManager::EthDevPamManager(Kiln::Ptr<PamDesiredIntfDir> pamDesiredIntfDir,
                                   Kiln::Ptr<EthDevPamCollection> ethDevPamCollection,
                                   Kiln::PtrConst<DeviceIntfStatusDir> deviceIntfStatusDir)
    : Kiln::Entity("ethDevPamManager"),
      pamDesiredIntfDir_(std::move(pamDesiredIntfDir)),
      ethDevPamCollection_(std::move(ethDevPamCollection)),
      deviceIntfStatusDir_(std::move(deviceIntfStatusDir)),
      factory_(defaultFactory() ? defaultFactory() : DeviceFactory(memoryDevice)) {
  if (pamDesiredIntfDir_) {
    desiredReactor_ = std::make_unique<DesiredReactor>(pamDesiredIntfDir_, *this);
  }
  if (deviceIntfStatusDir_) {
    deviceReactor_ = std::make_unique<DeviceReactor>(deviceIntfStatusDir_, *this);
  }
}

EthDevPamManager::~EthDevPamManager() {
  // The sockets go with their manager.
  while (!openedFor_.empty()) closePam(openedFor_.begin()->first);
}

template <class F>
void EthDevPamManager::forEachOpenPam(F&& f) {
  if (!ethDevPamCollection_) return;
  for (const auto& [intf, pam] : ethDevPamCollection_->intfPam()) {
    if (openedFor_.contains(intf)) f(*pam);
  }
}

void EthDevPamManager::rxQueueLimitIs(std::uint32_t limit) {
  settings_.rxQueueLimit = limit;
  forEachOpenPam([&](Pam& pam) { pam.rxQueueLimitIs(limit); });
}

void EthDevPamManager::headDropPolicyIs(bool headDrop) {
  settings_.headDropPolicy = headDrop;
  forEachOpenPam([&](Pam& pam) { pam.headDropPolicyIs(headDrop); });
}

void EthDevPamManager::pktReuseIs(bool reuse) {
  settings_.pktReuse = reuse;
  forEachOpenPam([&](Pam& pam) { pam.pktReuseIs(reuse); });
}

// These shape how kernel sockets are opened and read: they take effect for sockets opened
// after the change, so reopen what is open.
void EthDevPamManager::enableBulkPamReadIs(bool bulk) {
  if (settings_.enableBulkPamRead == bulk) return;
  settings_.enableBulkPamRead = bulk;
  handleAll();
}

void EthDevPamManager::perIntfSocketIs(bool perIntf) {
  if (settings_.perIntfSocket == perIntf) return;
  settings_.perIntfSocket = perIntf;
  handleAll();
}

void EthDevPamManager::enabledIs(bool enabled) {
  if (enabled_ == enabled) return;
  enabled_ = enabled;
  handleAll();
}

void EthDevPamManager::handleAll() {
  std::vector<IntfId> intfs;
  for (const auto& [intf, pam] : openedFor_) intfs.push_back(intf);
  for (auto& intf : intfs) closePam(intf);
  if (!enabled_ || !pamDesiredIntfDir_) return;
  for (const auto& [intf, desired] : pamDesiredIntfDir_->intfDesired()) handleIntf(intf);
}

void EthDevPamManager::handleIntf(IntfId intf) {
  const bool wanted = enabled_ && pamDesiredIntfDir_ && pamDesiredIntfDir_->intfDesired(intf);
  auto opened = openedFor_.find(intf);
  if (!wanted) {
    if (opened != openedFor_.end()) closePam(intf);
    return;
  }
  Kiln::PtrConst<DeviceIntfStatus> device =
      deviceIntfStatusDir_ ? deviceIntfStatusDir_->deviceIntfStatus(intf) : nullptr;
  if (opened != openedFor_.end()) {
    if (opened->second == device) return;
    // The same device with another MTU keeps its socket: only what fits it changed.
    if (opened->second && device && opened->second->deviceName() == device->deviceName() &&
        opened->second->ifIndex() == device->ifIndex()) {
      if (auto pam = ethDevPamCollection_ ? ethDevPamCollection_->intfPam(intf) : nullptr) pam->mtuIs(device->mtu());
      opened->second = device;
      return;
    }
    closePam(intf);
  }
  open(intf);
}

void EthDevPamManager::open(IntfId intf) {
  if (!ethDevPamCollection_) return;
  Kiln::PtrConst<DeviceIntfStatus> device =
      deviceIntfStatusDir_ ? deviceIntfStatusDir_->deviceIntfStatus(intf) : nullptr;
  // Another owner's socket on the interface stays: one socket per interface.
  if (ethDevPamCollection_->intfPam(intf)) return;
  auto pam = Kiln::make<EthDevPam>(intf);
  pam->rxQueueLimitIs(settings_.rxQueueLimit);
  pam->headDropPolicyIs(settings_.headDropPolicy);
  pam->pktReuseIs(settings_.pktReuse);
  if (device) pam->mtuIs(device->mtu());
  std::unique_ptr<PamDevice> made;
  try {
    made = factory_(*pam, device.get(), settings_);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "EthDevPamManager: no packet access on %s: %s\n",
                 intf.stringValue().c_str(), e.what());
  }
  if (!made) return;
  pam->deviceIs(std::move(made));
  openedFor_[intf] = device;
  ethDevPamCollection_->intfPamIs(intf, pam);
}

void EthDevPamManager::closePam(IntfId intf) {
  openedFor_.erase(intf);
  if (!ethDevPamCollection_) return;
  Kiln::Ptr<Pam> pam = ethDevPamCollection_->intfPam(intf);
  if (!pam) return;
  // Out of the collection first, so that its readers let go before it closes.
  ethDevPamCollection_->intfPamDel(intf);
  pam->close();
}

}  // namespace Interface
