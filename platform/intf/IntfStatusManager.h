#pragma once
// The interface-status manager: joins the interfaces' status entries with the kernel's
// devices of a network namespace into the DeviceIntfStatusDir that packet access reads.

#include <memory>

#include "platform/intf/IntfStatus.h"
#include "platform/intf/KernelNetInfo.h"
#include "platform/kiln/EventLoop.h"
#include "platform/kiln/StateMachine.h"
#include "platform/lumen/Types.h"

namespace Interface {

class NetNsIntfStatusManager;

class NetNsIntfStatusManagerRoot : public Kiln::Entity {
 public:
  // `activity` is the loop the managers run on (null: the thread's loop). With
  // `filterByNetNs`, only interfaces whose device exists in the namespace are published;
  // without, every interface that names a device is (with index 0 while the kernel does
  // not report the device), and opening its socket says whether the device is there.
  NetNsIntfStatusManagerRoot(Kiln::EventLoop* activity,
                             Kiln::PtrConst<AllIntfStatusDir> allIntfStatusDir,
                             Kiln::PtrConst<AllIntfStatusLocalDir> allIntfStatusLocalDir,
                             bool filterByNetNs);
  ~NetNsIntfStatusManagerRoot() override;

  // The manager of one namespace, writing `deviceIntfStatusDir`.
  Kiln::Ptr<NetNsIntfStatusManager> intfStatusManagerIs(
      Kiln::EventLoop* activity, Kiln::Ptr<DeviceIntfStatusDir> deviceIntfStatusDir,
      Kiln::PtrConst<KernelNetInfo::Status> kniStatus, const Lumen::NamespaceName& nsName);
  Kiln::Ptr<NetNsIntfStatusManager> intfStatusManager() const { return manager_; }

  const Kiln::PtrConst<AllIntfStatusDir>& allIntfStatusDir() const { return allIntfStatusDir_; }
  const Kiln::PtrConst<AllIntfStatusLocalDir>& allIntfStatusLocalDir() const {
    return allIntfStatusLocalDir_;
  }
  bool filterByNetNs() const { return filterByNetNs_; }

 private:
  Kiln::EventLoop* activity_;
  Kiln::PtrConst<AllIntfStatusDir> allIntfStatusDir_;
  Kiln::PtrConst<AllIntfStatusLocalDir> allIntfStatusLocalDir_;
  bool filterByNetNs_;
  Kiln::Ptr<NetNsIntfStatusManager> manager_;
};

class NetNsIntfStatusManager : public Kiln::StateMachine {
 public:
  NetNsIntfStatusManager(const NetNsIntfStatusManagerRoot& root,
                         Kiln::Ptr<DeviceIntfStatusDir> deviceIntfStatusDir,
                         Kiln::PtrConst<KernelNetInfo::Status> kniStatus,
                         Lumen::NamespaceName nsName);
  ~NetNsIntfStatusManager() override;

  const Kiln::Ptr<DeviceIntfStatusDir>& deviceIntfStatusDir() const { return deviceIntfStatusDir_; }
  const Kiln::PtrConst<KernelNetInfo::Status>& kniStatus() const { return kniStatus_; }
  const Lumen::NamespaceName& nsName() const { return nsName_; }

  void handleInitialized();
  void handleIntf(IntfId intf);
  void handleDevice(const std::string& deviceName);

 private:
  class StatusReactor;
  class KniReactor;
  Kiln::PtrConst<IntfStatus> statusOf(IntfId intf) const;

  Kiln::PtrConst<AllIntfStatusDir> allIntfStatusDir_;
  Kiln::PtrConst<AllIntfStatusLocalDir> allIntfStatusLocalDir_;
  bool filterByNetNs_;
  Kiln::Ptr<DeviceIntfStatusDir> deviceIntfStatusDir_;
  Kiln::PtrConst<KernelNetInfo::Status> kniStatus_;
  Lumen::NamespaceName nsName_;
  std::unique_ptr<StatusReactor> allReactor_;
  std::unique_ptr<StatusReactor> localReactor_;
  std::unique_ptr<KniReactor> kniReactor_;
};

}  // namespace Interface
