#pragma once
// The kernel's network devices of one network namespace, as the runner (or a test) reports
// them: published at "kni/ns/<namespace>/status".

#include <string>

#include "platform/kiln/Collection.h"
#include "platform/kiln/Notifier.h"

namespace KernelNetInfo {

class Device : public Kiln::Entity {
 public:
  Device(std::string deviceName, int ifIndex)
      : Kiln::Entity(deviceName), deviceName_(std::move(deviceName)), ifIndex_(ifIndex) {}
  const std::string& deviceName() const { return deviceName_; }
  int ifIndex() const { return ifIndex_; }

 private:
  std::string deviceName_;
  int ifIndex_;
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
  // Stores the device; a changed index replaces the entry and notifies.
  void deviceIs(const std::string& deviceName, int ifIndex);
  void deviceDel(const std::string& deviceName);
  const Kiln::Collection<std::string, Device>& device() const { return device_; }

  Kiln::NotifieeList<Status>& notifieeList() const { return notifieeList_; }

 private:
  Kiln::Collection<std::string, Device> device_;
  mutable Kiln::NotifieeList<Status> notifieeList_;
};

}  // namespace KernelNetInfo
