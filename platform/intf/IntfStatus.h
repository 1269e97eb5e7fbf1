#pragma once
// Interface status directories and the desired-interface directory.
//
// "interface/status/all" lists the switch's interfaces (a status entry per IntfId, with
// the kernel device that carries its frames). The interface-status manager joins it with
// the kernel's devices into the DeviceIntfStatusDir; agents list in PamDesiredIntfDir the
// interfaces on which they want packet access.

#include <cstdint>
#include <map>
#include <string>

#include "platform/intf/KernelNetInfo.h"
#include "platform/kiln/Collection.h"
#include "platform/kiln/Notifier.h"
#include "platform/lumen/IntfId.h"

namespace Interface {

using Lumen::IntfId;

class IntfStatus : public Kiln::Entity {
 public:
  IntfStatus(IntfId intfId, std::string deviceName)
      : Kiln::Entity(intfId.stringValue()), intfId_(intfId), deviceName_(std::move(deviceName)) {}
  IntfId intfId() const { return intfId_; }
  // The kernel device ("veth0", "eth1") that carries the interface's frames; "" if none.
  const std::string& deviceName() const { return deviceName_; }

 private:
  IntfId intfId_;
  std::string deviceName_;
};

// Status entries by interface. An entry is replaced (not edited) when its device changes,
// so one notification per interface tells everything.
class AllIntfStatusDir : public Kiln::Entity {
 public:
  class NotifieeConst : public Kiln::Notifiee<AllIntfStatusDir> {
   public:
    using Kiln::Notifiee<AllIntfStatusDir>::Notifiee;
    virtual void onIntfStatus(IntfId) {}
  };

  explicit AllIntfStatusDir(std::string name = "AllIntfStatusDir") : Kiln::Entity(std::move(name)) {}

  Kiln::Ptr<IntfStatus> intfStatus(IntfId intf) const { return intfStatus_.find(intf); }
  Kiln::Ptr<IntfStatus> intfStatusIs(IntfId intf, const std::string& deviceName);
  void intfStatusDel(IntfId intf);
  const Kiln::Collection<IntfId, IntfStatus>& intfStatus() const { return intfStatus_; }

  Kiln::NotifieeList<AllIntfStatusDir>& notifieeList() const { return notifieeList_; }

 private:
  Kiln::Collection<IntfId, IntfStatus> intfStatus_;
  mutable Kiln::NotifieeList<AllIntfStatusDir> notifieeList_;
};

// The status entries of this cell's own interfaces; same shape.
class AllIntfStatusLocalDir : public AllIntfStatusDir {
 public:
  explicit AllIntfStatusLocalDir(std::string name = "AllIntfStatusLocalDir")
      : AllIntfStatusDir(std::move(name)) {}
};

class DeviceIntfStatus : public Kiln::Entity {
 public:
  DeviceIntfStatus(IntfId intfId, std::string deviceName, int ifIndex, std::uint32_t mtu)
      : Kiln::Entity(intfId.stringValue()),
        intfId_(intfId),
        deviceName_(std::move(deviceName)),
        ifIndex_(ifIndex),
        mtu_(mtu) {}
  IntfId intfId() const { return intfId_; }
  const std::string& deviceName() const { return deviceName_; }
  int ifIndex() const { return ifIndex_; }
  // The device's MTU: the bytes a frame carries after its Ethernet header and tags.
  std::uint32_t mtu() const { return mtu_; }

 private:
  IntfId intfId_;
  std::string deviceName_;
  int ifIndex_;
  std::uint32_t mtu_;
};

// Interfaces whose kernel device exists, with that device.
class DeviceIntfStatusDir : public Kiln::Entity {
 public:
  class NotifieeConst : public Kiln::Notifiee<DeviceIntfStatusDir> {
   public:
    using Kiln::Notifiee<DeviceIntfStatusDir>::Notifiee;
    virtual void onDeviceIntfStatus(IntfId) {}
  };

  explicit DeviceIntfStatusDir(std::string name) : Kiln::Entity(std::move(name)) {}

  Kiln::Ptr<DeviceIntfStatus> deviceIntfStatus(IntfId intf) const {
    return deviceIntfStatus_.find(intf);
  }
  // Stores the entry; a change of device, index or MTU replaces it and notifies, an equal
  // one changes nothing.
  void deviceIntfStatusIs(IntfId intf, const std::string& deviceName, int ifIndex,
                          std::uint32_t mtu = KernelNetInfo::defaultMtu);
  void deviceIntfStatusDel(IntfId intf);
  const Kiln::Collection<IntfId, DeviceIntfStatus>& deviceIntfStatus() const {
    return deviceIntfStatus_;
  }

  Kiln::NotifieeList<DeviceIntfStatusDir>& notifieeList() const { return notifieeList_; }

 private:
  Kiln::Collection<IntfId, DeviceIntfStatus> deviceIntfStatus_;
  mutable Kiln::NotifieeList<DeviceIntfStatusDir> notifieeList_;
};

class PamDesiredIntfDir : public Kiln::Entity {
 public:
  class NotifieeConst : public Kiln::Notifiee<PamDesiredIntfDir> {
   public:
    using Kiln::Notifiee<PamDesiredIntfDir>::Notifiee;
    virtual void onIntfDesired(IntfId) {}
  };

  explicit PamDesiredIntfDir(std::string name) : Kiln::Entity(std::move(name)) {}

  bool intfDesired(IntfId intf) const;
  void intfDesiredIs(IntfId intf, bool desired);
  void intfDesiredDel(IntfId intf);
  const std::map<IntfId, bool>& intfDesired() const { return intfDesired_; }

  Kiln::NotifieeList<PamDesiredIntfDir>& notifieeList() const { return notifieeList_; }

 private:
  std::map<IntfId, bool> intfDesired_;
  mutable Kiln::NotifieeList<PamDesiredIntfDir> notifieeList_;
};

}  // namespace Interface
