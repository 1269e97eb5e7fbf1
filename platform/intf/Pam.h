#pragma once
// Packet-access sockets ("pams"): one per interface, delivering the interface's CFM frames
// to the agent and sending its frames.
//
// A pam keeps a bounded queue of received frames. Readability is reported from the event
// loop, never from inside a call. A device that reads on the loop (a kernel socket) offers
// each batch it read as soon as it is queued: onReadableCount runs once per waiting frame
// while the reader takes one per notification, so a batch costs one loop round, not one
// round per frame. Frames queued from elsewhere (the in-memory wire) are offered on the
// next round, once per round while frames wait and the previous round took at least one.
// Either way, frames that nobody takes do not keep the loop busy (they are offered again
// when another arrives).

#include <cstdint>
#include <ctime>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <vector>

#include "platform/intf/KernelNetInfo.h"
#include "platform/intf/TxTiming.h"
#include "platform/kiln/Collection.h"
#include "platform/kiln/Notifier.h"
#include "platform/lumen/Eth.h"
#include "platform/lumen/IntfId.h"
#include "platform/lumen/Pkt.h"

namespace Interface {

using Lumen::IntfId;

// Where a socket's frames come from and go to: a kernel packet socket or the in-memory wire.
// A device hands received frames to its pam with Pam::rxFrame.
class PamDevice {
 public:
  // Frames lost before they reached the pam. A device that several pams share reports
  // its losses to each.
  struct RxLosses {
    std::uint64_t truncated = 0;    // longer than the device reads
    std::uint64_t kernelDrops = 0;  // dropped by the kernel, its buffer full
  };

  virtual ~PamDevice() = default;
  // Sends one frame (Ethernet header first), timed as `timing` says where the device can.
  // False when it could not be sent.
  virtual bool transmit(std::span<const std::uint8_t> frame, const TxTiming& timing) = 0;
  virtual RxLosses rxLosses() { return {}; }
  // Frames transmit() accepted into a batch that the kernel refused when the batch went out.
  virtual std::uint64_t txLateErrors() { return 0; }
  // Between true and false, frames sent may leave together, in one system call (a device
  // that cannot sends each at once).
  virtual void txBatchIs(bool /*batch*/) {}
  // Hands over, now, the frames the device has received and not yet handed over, as a
  // readiness of its descriptor would: for a caller about to act on what has not arrived.
  virtual void rxPendingRead() {}
  // The longest frame the device takes with `tags` VLAN tags, the outer one `outerTpid`,
  // when its MTU is `mtu`: by default the MTU after the Ethernet header and every tag.
  virtual std::uint32_t maxFrameBytes(std::uint32_t mtu, std::size_t tags, std::uint16_t /*outerTpid*/) const {
    return afterEveryTag(mtu, tags);
  }
  static std::uint32_t afterEveryTag(std::uint32_t mtu, std::size_t tags) {
    return mtu + std::uint32_t(sizeof(Lumen::EthHdr) + tags * sizeof(Lumen::Eth8021QHdr));
  }
};

class Pam : public Kiln::Entity {
 public:
  class NotifieeConst : public Kiln::Notifiee<Pam> {
   public:
    using Kiln::Notifiee<Pam>::Notifiee;
    virtual void onReadableCount() {}
  };

  struct Counters {
    std::uint64_t rxFrames = 0;       // queued for the reader
    std::uint64_t rxQueueDrops = 0;   // dropped because the queue was full
    std::uint64_t rxTruncated = 0;    // too long to take whole
    std::uint64_t rxKernelDrops = 0;  // dropped by the kernel before the device read them
    std::uint64_t txFrames = 0;
    std::uint64_t txErrors = 0;
  };

  ~Pam() override;

  IntfId intfId() const { return intfId_; }
  // Frames waiting to be taken.
  std::uint32_t readableCount() const { return static_cast<std::uint32_t>(rxCount_); }
  // The oldest waiting frame (begin offset at its first byte), or null.
  Kiln::Ptr<Lumen::Pkt> rxPkt();
  // Sends `pkt` from its begin offset, unchanged. False when the socket is closed or the
  // device refused the frame.
  bool txPkt(const Kiln::Ptr<Lumen::Pkt>& pkt);
  // The same for a frame of the caller's, timed as `timing` says (platform/intf/TxTiming.h).
  bool txFrame(std::span<const std::uint8_t> frame, const TxTiming& timing);
  // Between true and false, frames sent leave together where the device can (one system
  // call per batch); a frame refused then is counted in txErrors when the batch goes.
  void txBatchIs(bool batch) {
    if (device_) device_->txBatchIs(batch);
  }
  void rxPendingRead() {
    if (device_) device_->rxPendingRead();
  }
  // What this pam counted and what its device lost on the way to it.
  Counters counters() const;

  // The device's MTU, as the platform last reported it: what a frame may carry after its
  // Ethernet header and VLAN tags. A frame longer than maxFrameBytes for its tags (and the
  // outer one's TPID) does not fit the interface, and a sender must not build one.
  std::uint32_t mtu() const { return mtu_; }
  void mtuIs(std::uint32_t mtu) { mtu_ = mtu; }
  std::uint32_t maxFrameBytes(std::size_t tags, std::uint16_t outerTpid = Lumen::ethTypeDot1Q) const {
    return device_ ? device_->maxFrameBytes(mtu_, tags, outerTpid) : PamDevice::afterEveryTag(mtu_, tags);
  }

  // At most `limit` frames wait; when full, the oldest (head drop) or the arriving frame
  // is dropped.
  void rxQueueLimitIs(std::uint32_t limit);
  void headDropPolicyIs(bool headDrop) { headDrop_ = headDrop; }
  // Received frames are held in buffers recycled through the packet manager's pool (true)
  // or in buffers of their own size from the heap (false).
  void pktReuseIs(bool reuse) { pktReuse_ = reuse; }
  std::uint32_t rxQueueLimit() const { return rxQueueLimit_; }

  // Sees every received frame addressed to a CCM group address (01-80-C2-00-00-30..37), and
  // every DMM, SLM, 1DM, DMR and SLR, before it is queued, with the interface it came in on: the
  // software ALE layer reads the CCMs for its MEPs there and answers the Y.1731 frames, as a
  // switch's hardware would, without a socket or a pass over the frames of its own. Every
  // other frame costs a few byte reads. One tap per process.
  // `rxTime` is the kernel's receive time, or the time the tap was called where the device
  // gives none.
  using RxTap = std::function<void(IntfId, std::span<const std::uint8_t>, const timespec& rxTime)>;
  static void rxTapIs(RxTap tap);

  // Called by the device for each received frame. With `offerLater` the frame is offered to
  // the reader on the next loop round; a device that calls offerReadable() itself once its
  // batch is queued passes false.
  // `rxTime`: when the kernel received it, if the device knows (a zero time does not count).
  void rxFrame(std::span<const std::uint8_t> frame, bool offerLater = true, const timespec* rxTime = nullptr);
  // Offers the waiting frames to the reader now, from a callback of the event loop: one
  // notification per frame that waited when it began, ending early once a notification
  // takes nothing.
  void offerReadable();
  // Room left in the queue before it drops.
  std::uint32_t rxQueueRoom() const {
    return rxCount_ >= rxQueueLimit_ ? 0 : rxQueueLimit_ - readableCount();
  }
  // Stops delivery and sending for good and releases the device.
  void close();
  bool closed() const { return closed_; }

  Kiln::NotifieeList<Pam>& notifieeList() const { return notifieeList_; }

 protected:
  explicit Pam(IntfId intfId);
  void deviceIs(std::unique_ptr<PamDevice> device) { device_ = std::move(device); }

 private:
  Kiln::Ptr<Lumen::Pkt> popOldest();
  void scheduleReadable();
  void notifyReadable();

  IntfId intfId_;
  std::unique_ptr<PamDevice> device_;
  // The waiting frames, oldest at rxHead_, in a ring of rxQueueLimit_ slots: queueing and
  // taking a frame allocate nothing.
  std::vector<Kiln::Ptr<Lumen::Pkt>> rxRing_ = std::vector<Kiln::Ptr<Lumen::Pkt>>(1024);
  std::size_t rxHead_ = 0;
  std::size_t rxCount_ = 0;
  std::uint32_t rxQueueLimit_ = 1024;
  bool headDrop_ = true;
  bool pktReuse_ = true;
  bool readableScheduled_ = false;
  std::uint64_t takenSinceNotify_ = 0;
  bool closed_ = false;
  std::uint32_t mtu_ = KernelNetInfo::defaultMtu;
  Counters counters_;
  mutable Kiln::NotifieeList<Pam> notifieeList_;
};

// The Ethernet packet-access socket.
class EthDevPam : public Pam {
 public:
  explicit EthDevPam(IntfId intfId) : Pam(intfId) {}
  using Pam::deviceIs;
};

// The sockets by interface: at most one per interface.
class EthDevPamCollection : public Kiln::Entity {
 public:
  class NotifieeConst : public Kiln::Notifiee<EthDevPamCollection> {
   public:
    using Kiln::Notifiee<EthDevPamCollection>::Notifiee;
    virtual void onIntfPam(IntfId) {}
  };

  explicit EthDevPamCollection(std::string name) : Kiln::Entity(std::move(name)) {}

  Kiln::Ptr<Pam> intfPam(IntfId intf) const;
  void intfPamIs(IntfId intf, Kiln::Ptr<Pam> pam);
  void intfPamDel(IntfId intf);
  const std::map<IntfId, Kiln::Ptr<Pam>>& intfPam() const { return intfPam_; }

  Kiln::NotifieeList<EthDevPamCollection>& notifieeList() const { return notifieeList_; }

 private:
  std::map<IntfId, Kiln::Ptr<Pam>> intfPam_;
  Kiln::DenseIndex<Pam> byIntf_;  // the same sockets, for the look-up of every sent frame
  mutable Kiln::NotifieeList<EthDevPamCollection> notifieeList_;
};

}  // namespace Interface
