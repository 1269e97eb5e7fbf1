#pragma once
// The kernel's network devices of one network namespace, as the runner (or a test) reports
// them: published at "kni/ns/<namespace>/status".

#include <cstdint>
#include <string>

#include "platform/kiln/Collection.h"
#include "platform/kiln/Notifier.h"

namespace KernelNetInfo {

// What a device's frames may carry after the Ethernet header and tags when nobody said.
constexpr std::uint32_t defaultMtu = 1500;

class Device : public Kiln::Entity {
 public:
  Device(std::string deviceName, int ifIndex, std::uint32_t mtu = defaultMtu)
      : Kiln::Entity(deviceName), deviceName_(std::move(deviceName)), ifIndex_(ifIndex), mtu_(mtu) {}
  const std::string& deviceName() const { return deviceName_; }
  int ifIndex() const { return ifIndex_; }
  std::uint32_t mtu() const { return mtu_; }

 private:
  std::string deviceName_;
  int ifIndex_;
  std::uint32_t mtu_;
};

class Status : public Kiln::Entity {
 public:
  class NotifieeConst : public Kiln::Notifiee<Status> {
   public:
    using Kiln::Notifiee<Status>::Notifiee;
    virtual void onDevice(const std::string&) {}
  };

  explicit Status(std::string name = "status") : Kiln::Entity(std::move(name)) {}

  Kiln::Ptr<Device> device(const std::string& deviceName) const {
    return device_.find(deviceName);
  }
  // Stores the device; a changed index or MTU replaces the entry and notifies.
  void deviceIs(const std::string& deviceName, int ifIndex, std::uint32_t mtu = defaultMtu);
  void deviceDel(const std::string& deviceName);
  const Kiln::Collection<std::string, Device>& device() const { return device_; }

  Kiln::NotifieeList<Status>& notifieeList() const { return notifieeList_; }

 private:
  Kiln::Collection<std::string, Device> device_;
  mutable Kiln::NotifieeList<Status> notifieeList_;
};

}  // namespace KernelNetInfo
