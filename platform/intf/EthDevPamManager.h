#pragma once
// Opens a packet-access socket for every interface an agent marks desired, publishes it in
// the socket collection, and closes it once the desire is deleted.
//
// Where frames come from is the device factory's business: the in-memory wire by default,
// AF_PACKET sockets on kernel devices when a runner installs that factory.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include "platform/intf/IntfStatus.h"
#include "platform/intf/Pam.h"

namespace Interface {

struct PamSettings {
  // Frames a socket queues for its reader before it drops.
  std::uint32_t rxQueueLimit = 1024;
  // A full queue drops its oldest frame (true) or the arriving one (false).
  bool headDropPolicy = false;
  // Kernel sockets read their waiting frames up to 64 per system call (true) or one per
  // call (false).
  bool enableBulkPamRead = false;
  // Received frames are held in pooled, recycled buffers (true) or in buffers of their own
  // size from the heap (false).
  bool pktReuse = false;
  // Every interface gets a kernel socket of its own (true), or interfaces carried by the
  // same kernel device share one (false), each receiving every frame of the device.
  bool perIntfSocket = true;
};

class EthDevPamManager : public Kiln::Entity {
 public:
  // Makes the device of a newly opened socket. `device` is the interface's kernel device
  // entry, null when it has none; returning null leaves the interface without a socket
  // until its entry changes. Errors (std::exception) are reported and treated the same.
  using DeviceFactory = std::function<std::unique_ptr<PamDevice>(
      EthDevPam& pam, const DeviceIntfStatus* device, const PamSettings& settings)>;

  EthDevPamManager(Kiln::Ptr<PamDesiredIntfDir> pamDesiredIntfDir,
                   Kiln::Ptr<EthDevPamCollection> ethDevPamCollection,
                   Kiln::PtrConst<DeviceIntfStatusDir> deviceIntfStatusDir);
  ~EthDevPamManager() override;

  // The manager's numeric setting: how many received frames each socket queues.
  virtual void rxQueueLimitIs(std::uint32_t limit);
  void headDropPolicyIs(bool headDrop);
  void pktReuseIs(bool reuse);
  void enableBulkPamReadIs(bool bulk);
  void perIntfSocketIs(bool perIntf);
  // Sockets exist only while enabled.
  void enabledIs(bool enabled);

  const PamSettings& settings() const { return settings_; }
  const Kiln::Ptr<PamDesiredIntfDir>& pamDesiredIntfDir() const { return pamDesiredIntfDir_; }
  const Kiln::Ptr<EthDevPamCollection>& ethDevPamCollection() const { return ethDevPamCollection_; }
  const Kiln::PtrConst<DeviceIntfStatusDir>& deviceIntfStatusDir() const {
    return deviceIntfStatusDir_;
  }
  bool enabled() const { return enabled_; }

  // The factory used by managers from now on; an empty one restores the in-memory wire.
  static void defaultDeviceFactoryIs(DeviceFactory factory);

 private:
  class DesiredReactor;
  class DeviceReactor;

  void handleIntf(IntfId intf);
  void handleAll();
  template <class F>
  void forEachOpenPam(F&& f);
  void open(IntfId intf);
  void closePam(IntfId intf);

  Kiln::Ptr<PamDesiredIntfDir> pamDesiredIntfDir_;
  Kiln::Ptr<EthDevPamCollection> ethDevPamCollection_;
  Kiln::PtrConst<DeviceIntfStatusDir> deviceIntfStatusDir_;
  std::unique_ptr<DesiredReactor> desiredReactor_;
  std::unique_ptr<DeviceReactor> deviceReactor_;
  DeviceFactory factory_;
  PamSettings settings_;
  bool enabled_ = false;
  // The device entry each open socket was made for, to reopen when it changes.
  std::map<IntfId, Kiln::PtrConst<DeviceIntfStatus>> openedFor_;
};

}  // namespace Interface
