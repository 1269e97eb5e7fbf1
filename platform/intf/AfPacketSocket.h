#pragma once
// A Linux AF_PACKET socket on one kernel device that carries CFM frames only.
//
// Passive: it neither watches its descriptor nor queues frames. Its owner puts fd() on the
// event loop and calls receive() when it is readable.
//
// Frames are handed over exactly as they were on the wire. The kernel strips the outer VLAN
// tag of a received frame into the packet's metadata before a packet socket sees it, so
// receive() puts that tag back; consumers never need to know the kernel did this.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>

namespace Interface {

class AfPacketSocket {
 public:
  // Largest frame delivered; longer ones are skipped and counted in truncatedFrames().
  static constexpr std::size_t kMaxFrameBytes = 9216;
  // Frames read per recvmmsg call, and frames sent per sendmmsg call.
  static constexpr std::size_t kBatchFrames = 64;

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

  // Calls `sink` with each waiting frame, up to `maxFrames`, oldest first. The span is valid
  // only during the call. Returns the number delivered (0 when none wait). A device going
  // down is not an error: the socket stays bound and resumes when the device is back.
  // Other failures raise std::system_error.
  std::size_t receive(const std::function<void(std::span<const std::uint8_t>)>& sink,
                      std::size_t maxFrames);
  // Whether the last receive() left nothing waiting: it read fewer frames than it asked for.
  bool drained() const { return drained_; }

  // Sends one frame, Ethernet header first, unchanged. False (and counted) when the kernel
  // refused it: full queues, device down, malformed frame. While sends are batched, the
  // frame is copied into the batch instead and true returned; a refusal at the flush is
  // counted in lateSendErrors().
  bool send(std::span<const std::uint8_t> frame);
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

  std::string device_;
  int fd_ = -1;
  std::unique_ptr<Batch> batch_;
  std::uint64_t truncatedFrames_ = 0;
  std::uint64_t sendErrors_ = 0;
  std::uint64_t kernelDrops_ = 0;
  std::uint64_t lateSendErrors_ = 0;
  bool drained_ = true;
};

}  // namespace Interface
