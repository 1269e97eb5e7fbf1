#include "platform/intf/AfPacketPam.h"

#include <sys/epoll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "platform/intf/AfPacketSocket.h"

namespace Interface {

namespace {

// Frames one readiness of a socket may take through its readers before the loop moves on to
// other descriptors (other sockets, the control socket).
constexpr std::size_t kRoundFrames = 64;
// How long a drained ring is watched for more frames before the loop sleeps.
constexpr std::chrono::microseconds kLookForMore{20};
// Frames a socket whose readers fell behind reads past that, into the queues, whose limit and
// drop policy then decide what is shed (not the kernel's buffer, which drops the newest).
constexpr std::size_t kShedFrames = 4096;
// Behind means this many frames still waiting in the ring after a round: half of it, so the
// kernel is not about to drop. A busy socket whose readers keep up (a window of 64 LBMs keeps
// one busy) only ends its round and is served again on the next.
constexpr std::size_t kBehindFrames = AfPacketSocket::kRingFrames / 2;

// One kernel socket and the pams it feeds.
//
// A readiness reads the socket in batches, each no larger than the room left in the pams'
// queues; after each batch every pam offers its frames to its reader at once, and what the
// readers sent meanwhile leaves in one system call. A round ends when the socket is empty
// or kRoundFrames have gone through; in the second case, if half the ring still waits, the
// readers cannot keep up, and the socket's backlog is read into the queues, which keep the
// newest frames and count the rest as rxQueueDrops. What they keep is offered at once.
class DeviceSocket : public std::enable_shared_from_this<DeviceSocket> {
 public:
  DeviceSocket(Kiln::EventLoop& loop, const std::string& device, bool bulk)
      : loop_(loop), socket_(device), batch_(bulk ? AfPacketSocket::kBatchFrames : 1) {
    loop_.fdIs(socket_.fd(), EPOLLIN, [this](std::uint32_t) { handleReadable(); });
  }
  ~DeviceSocket() { loop_.fdDel(socket_.fd()); }

  void pamIs(Pam* pam) { pams_.push_back(pam); }
  void pamDel(Pam* pam) { std::erase(pams_, pam); }
  bool transmit(std::span<const std::uint8_t> frame, const TxTiming& timing) { return socket_.send(frame, timing); }
  PamDevice::RxLosses rxLosses() { return {socket_.truncatedFrames(), socket_.kernelDrops()}; }
  std::uint64_t txLateErrors() const { return socket_.lateSendErrors(); }
  void txBatchIs(bool batch) { socket_.batchSendsIs(batch); }
  // What the ring holds, up to a ring's worth, unless the socket is being read already (a
  // reader of its frames asked).
  void readPending() {
    if (!reading_ && socket_.ringed() && socket_.backlogAtLeast(1)) readRound(AfPacketSocket::kRingFrames, false);
  }

 private:
  void handleReadable() { readRound(kRoundFrames, true); }
  // Up to `frames` frames, more when the readers fell behind; with `watch`, a drained ring
  // is watched a moment for more.
  void readRound(std::size_t frames, bool watch) {
    // A reader may close the last pam on this socket, which destroys it.
    auto self = shared_from_this();
    reading_ = true;
    try {
      socket_.batchSendsIs(true);
      std::size_t taken = 0;
      for (;;) {
        taken += read(std::max<std::size_t>(1, std::min(batch_, room())));
        offer();
        socket_.batchSendsIs(false);
        if (pams_.empty() || (socket_.drained() && !(watch && moreSoon()))) break;
        if (taken >= frames) {
          if (socket_.backlogAtLeast(kBehindFrames)) {
            socket_.batchSendsIs(true);
            read(kShedFrames);
            offer();
            socket_.batchSendsIs(false);
          }
          break;
        }
        socket_.batchSendsIs(true);
      }
    } catch (const std::exception& e) {
      socket_.batchSendsIs(false);
      // The socket stays on the loop: a transient failure must not end packet access.
      std::fprintf(stderr, "packet socket on %s: %s\n", socket_.device().c_str(), e.what());
    }
    reading_ = false;
  }
  // The next frames are often microseconds behind (a flood's next burst, the next message
  // of a peer that waits for each reply): a short look at the ring, which costs no system
  // call, saves a sleep and a wake-up.
  bool moreSoon() const {
    if (!socket_.ringed()) return false;
    const auto until = std::chrono::steady_clock::now() + kLookForMore;
    do {
      if (socket_.backlogAtLeast(1)) return true;
    } while (std::chrono::steady_clock::now() < until);
    return false;
  }
  std::size_t read(std::size_t frames) {
    return socket_.receive(
        [this](std::span<const std::uint8_t> frame) {
          for (Pam* pam : pams_) pam->rxFrame(frame, false, &socket_.rxTime());
        },
        frames);
  }
  // The room in the fullest queue: a batch no larger never makes a queue drop.
  std::size_t room() const {
    std::size_t room = AfPacketSocket::kBatchFrames;
    for (const Pam* pam : pams_) room = std::min<std::size_t>(room, pam->rxQueueRoom());
    return room;
  }
  void offer() {
    for (std::size_t i = 0; i < pams_.size(); ++i) {
      Kiln::Ptr<Pam> pam(pams_[i]);
      pam->offerReadable();
    }
  }

  Kiln::EventLoop& loop_;
  AfPacketSocket socket_;
  std::size_t batch_;
  std::vector<Pam*> pams_;
  bool reading_ = false;
};

// Shared sockets by device, alive while some pam uses them.
using SharedSockets = std::map<std::string, std::weak_ptr<DeviceSocket>>;

class AfPacketDevice : public PamDevice {
 public:
  AfPacketDevice(std::shared_ptr<DeviceSocket> socket, Pam& pam)
      : socket_(std::move(socket)), pam_(pam) {
    socket_->pamIs(&pam_);
  }
  ~AfPacketDevice() override { socket_->pamDel(&pam_); }
  bool transmit(std::span<const std::uint8_t> frame, const TxTiming& timing) override {
    return socket_->transmit(frame, timing);
  }
  RxLosses rxLosses() override { return socket_->rxLosses(); }
  std::uint64_t txLateErrors() override { return socket_->txLateErrors(); }
  void txBatchIs(bool batch) override { socket_->txBatchIs(batch); }
  void rxPendingRead() override { socket_->readPending(); }
  // A packet socket sends at most the MTU after the Ethernet header, and one 802.1Q tag's
  // four bytes more when the outer tag is one: a second tag, or an outer 802.1ad tag, must
  // fit in the MTU (the kernel's own test, EMSGSIZE otherwise).
  std::uint32_t maxFrameBytes(std::uint32_t mtu, std::size_t tags, std::uint16_t outerTpid) const override {
    const bool dot1Q = tags > 0 && outerTpid == Lumen::ethTypeDot1Q;
    return mtu + std::uint32_t(sizeof(Lumen::EthHdr) + (dot1Q ? sizeof(Lumen::Eth8021QHdr) : 0));
  }

 private:
  std::shared_ptr<DeviceSocket> socket_;
  Pam& pam_;
};

}  // namespace

EthDevPamManager::DeviceFactory afPacketDeviceFactory(Kiln::EventLoop& loop) {
  auto shared = std::make_shared<SharedSockets>();
  return [&loop, shared](EthDevPam& pam, const DeviceIntfStatus* device,
                         const PamSettings& settings) -> std::unique_ptr<PamDevice> {
    if (!device || device->deviceName().empty()) return nullptr;
    const std::string& name = device->deviceName();
    std::shared_ptr<DeviceSocket> socket;
    if (!settings.perIntfSocket) socket = (*shared)[name].lock();
    if (!socket) {
      socket = std::make_shared<DeviceSocket>(loop, name, settings.enableBulkPamRead);
      if (!settings.perIntfSocket) (*shared)[name] = socket;
    }
    return std::make_unique<AfPacketDevice>(std::move(socket), pam);
  };
}

}  // namespace Interface
