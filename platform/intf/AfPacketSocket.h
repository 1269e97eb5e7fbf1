#pragma once
// A Linux AF_PACKET socket on one kernel device that carries CFM frames only.
//
// Passive: it neither watches its descriptor nor queues frames. Its owner puts fd() on the
// event loop and calls receive() when it is readable.
//
// Frames are handed over exactly as they were on the wire. The kernel strips the outer VLAN
// tag of a received frame into the packet's metadata before a packet socket sees it, so
// receive() puts that tag back; consumers never need to know the kernel did this.
//
// The kernel writes received frames into a ring shared with the process (kRingFrames slots
// of kRingSlotBytes), so that reading them costs no system call: a responder then makes as
// many calls per frame as a bare reflector (one wait, one send). A frame too long for a slot
// is also queued whole on the socket and read from there in its turn. Where the kernel
// refuses the ring, every frame is read from the socket's queue in batches. Frames leave by
// a second socket on the device that receives nothing and is never polled (see send()).

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "platform/intf/TxTiming.h"

namespace Interface {

class AfPacketSocket {
 public:
  // Largest frame delivered; longer ones are skipped and counted in truncatedFrames().
  static constexpr std::size_t kMaxFrameBytes = 9216;
  // Frames read per recvmmsg call, and frames sent per sendmmsg call.
  static constexpr std::size_t kBatchFrames = 64;
  // The receive ring: 512 KiB per socket. A slot holds a frame of up to 186 bytes (every
  // CCM, LBM and LTM the agents send, untagged or with two tags); the ring holds a burst of
  // 2048 frames before the kernel drops any.
  static constexpr std::size_t kRingSlotBytes = 256;
  static constexpr std::size_t kRingFrames = 2048;

  // Opens a non-blocking socket bound to `device` that sees only CFM frames (EtherType
  // 0x8902, untagged or behind one or two VLAN tags) and none of the host's outgoing
  // frames. Raises std::system_error naming the device; without CAP_NET_RAW the message
  // says so.
  explicit AfPacketSocket(const std::string& device);
  ~AfPacketSocket();
  AfPacketSocket(const AfPacketSocket&) = delete;
  AfPacketSocket& operator=(const AfPacketSocket&) = delete;

  int fd() const { return fd_; }
  const std::string& device() const { return device_; }
  // Whether frames arrive through the shared ring (else through the socket's queue).
  bool ringed() const { return ring_ != nullptr; }

  // Calls `sink` with each waiting frame, up to `maxFrames`, oldest first. The span is valid
  // only during the call. Returns the number delivered (0 when none wait). A device going
  // down is not an error: the socket stays bound and resumes when the device is back.
  // Other failures raise std::system_error.
  std::size_t receive(const std::function<void(std::span<const std::uint8_t>)>& sink,
                      std::size_t maxFrames);
  // The kernel's receive time (CLOCK_REALTIME, a software timestamp) of the frame the sink
  // is being called with; zero when the kernel gave none.
  const timespec& rxTime() const { return rxTime_; }
  // Whether the last receive() left nothing waiting: it read fewer frames than it asked for.
  bool drained() const { return drained_; }
  // Whether at least `frames` frames wait in the ring: one look, no system call. Without a
  // ring the backlog is unknown and the answer is yes.
  bool backlogAtLeast(std::size_t frames) const;

  // Sends one frame, Ethernet header first, unchanged, by the transmit socket: the kernel
  // wakes a socket's waiters as each frame it sent is freed, which on fd() would wake the
  // loop's epoll entry once per frame. False (and counted) when the kernel refused it: full
  // queues, device down, malformed frame. While sends are batched, the frame is copied into
  // the batch instead and true returned; a refusal at the flush is counted in
  // lateSendErrors(). `timing` says where the frame's departure time goes, and whether the
  // kernel's time of it is wanted (platform/intf/TxTiming.h).
  bool send(std::span<const std::uint8_t> frame, const TxTiming& timing = {});
  // Between true and false, frames sent go out together, in one system call per batch.
  // Ending the batch (or a full batch) sends them. One socket per thread batches at a time;
  // another one sends at once meanwhile.
  void batchSendsIs(bool batch);
  std::uint64_t lateSendErrors() const { return lateSendErrors_; }

  std::uint64_t truncatedFrames() const { return truncatedFrames_; }
  std::uint64_t sendErrors() const { return sendErrors_; }
  // Frames the kernel dropped because the socket's receive buffer was full: a reader that
  // falls behind loses frames here before receive() could count them.
  std::uint64_t kernelDrops();

 private:
  struct Batch;
  struct SendBatch;
  void flushSends();
  bool sendNow(std::span<const std::uint8_t> frame, timespec* sentAt);
  // The kernel's time of `frame`'s leaving, from the transmit socket's error queue.
  void sentTime(std::span<const std::uint8_t> frame, timespec& sentAt);
  void mapRing();
  void clearPendingError();
  std::size_t receiveRing(const std::function<void(std::span<const std::uint8_t>)>& sink,
                          std::size_t maxFrames);
  std::size_t receiveQueued(const std::function<void(std::span<const std::uint8_t>)>& sink,
                            std::size_t maxFrames);

  std::string device_;
  // The thread's batch, looked up once: not a thread-local look-up per frame.
  SendBatch& sends_;
  int fd_ = -1;
  int txFd_ = -1;
  std::unique_ptr<Batch> batch_;
  std::uint8_t* ring_ = nullptr;
  std::size_t ringHead_ = 0;
  std::uint64_t truncatedFrames_ = 0;
  std::uint64_t sendErrors_ = 0;
  std::uint64_t kernelDrops_ = 0;
  std::uint64_t lateSendErrors_ = 0;
  bool drained_ = true;
  timespec rxTime_{};
};

}  // namespace Interface
