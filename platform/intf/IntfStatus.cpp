#include "platform/intf/IntfStatus.h"

#include "platform/kiln/TypeRegistry.h"

namespace Interface {

namespace {
const Kiln::TypeRegistration allIntfStatusDirType(
    "Interface::AllIntfStatusDir",
    [](const std::string& name) { return Kiln::make<AllIntfStatusDir>(name); });
const Kiln::TypeRegistration allIntfStatusLocalDirType(
    "Interface::AllIntfStatusLocalDir",
    [](const std::string& name) { return Kiln::make<AllIntfStatusLocalDir>(name); });
}  // namespace

Kiln::Ptr<IntfStatus> AllIntfStatusDir::intfStatusIs(IntfId intf, const std::string& deviceName) {
  auto existing = intfStatus_.find(intf);
  if (existing && existing->deviceName() == deviceName) return existing;
  auto status = Kiln::make<IntfStatus>(intf, deviceName);
  status->parentIs(this);
  intfStatus_.insert(intf, status);
  notifieeList_.notify(&NotifieeConst::onIntfStatus, intf);
  return status;
}

void AllIntfStatusDir::intfStatusDel(IntfId intf) {
  if (intfStatus_.del(intf)) notifieeList_.notify(&NotifieeConst::onIntfStatus, intf);
}

void DeviceIntfStatusDir::deviceIntfStatusIs(IntfId intf, const std::string& deviceName,
                                             int ifIndex, std::uint32_t mtu) {
  auto existing = deviceIntfStatus_.find(intf);
  if (existing && existing->deviceName() == deviceName && existing->ifIndex() == ifIndex &&
      existing->mtu() == mtu) {
    return;
  }
  auto status = Kiln::make<DeviceIntfStatus>(intf, deviceName, ifIndex, mtu);
  status->parentIs(this);
  deviceIntfStatus_.insert(intf, status);
  notifieeList_.notify(&NotifieeConst::onDeviceIntfStatus, intf);
}

void DeviceIntfStatusDir::deviceIntfStatusDel(IntfId intf) {
  if (deviceIntfStatus_.del(intf)) notifieeList_.notify(&NotifieeConst::onDeviceIntfStatus, intf);
}

bool PamDesiredIntfDir::intfDesired(IntfId intf) const {
  auto it = intfDesired_.find(intf);
  return it != intfDesired_.end() && it->second;
}

void PamDesiredIntfDir::intfDesiredIs(IntfId intf, bool desired) {
  auto [it, inserted] = intfDesired_.try_emplace(intf, desired);
  if (!inserted && it->second == desired) return;
  it->second = desired;
  notifieeList_.notify(&NotifieeConst::onIntfDesired, intf);
}

void PamDesiredIntfDir::intfDesiredDel(IntfId intf) {
  if (intfDesired_.erase(intf)) notifieeList_.notify(&NotifieeConst::onIntfDesired, intf);
}

}  // namespace Interface
