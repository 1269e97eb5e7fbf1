#include "platform/intf/AfPacketSocket.h"

#include <arpa/inet.h>
#include <linux/filter.h>
#include <linux/if_ether.h>
#include <linux/errqueue.h>
#include <linux/if_packet.h>
#include <linux/net_tstamp.h>
#include <net/if.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>

#include "platform/cfm/L2.h"
#include "platform/cfm/PmWire.h"
#include "platform/lumen/Pkt.h"
#include "platform/lumen/Eth.h"

namespace Interface {

namespace {

using Lumen::ethTypeCfm;
using Lumen::ethTypeDot1Q;
using Lumen::outerTpids;
constexpr std::size_t kAddressBytes = 12;
constexpr std::size_t kTagBytes = 4;
constexpr int kReceiveBufferBytes = 4 << 20;
constexpr std::size_t kRingBlockBytes = 64 << 10;
constexpr std::size_t kRingBytes = AfPacketSocket::kRingSlotBytes * AfPacketSocket::kRingFrames;
static_assert(kRingBytes % kRingBlockBytes == 0 && kRingBlockBytes % AfPacketSocket::kRingSlotBytes == 0);

// Puts back the outer tag the kernel took into metadata: `begin` has kTagBytes of room before
// it. The status flag, not a non-zero TCI, says a tag was stripped: priority-tagged frames
// carry TCI 0.
std::span<const std::uint8_t> withTag(std::uint8_t* begin, std::size_t length, std::uint32_t status,
                                      std::uint16_t tci, std::uint16_t tpid) {
  if (!(status & TP_STATUS_VLAN_VALID) || length < kAddressBytes) return {begin, length};
  if (!(status & TP_STATUS_VLAN_TPID_VALID)) tpid = ethTypeDot1Q;
  std::memmove(begin - kTagBytes, begin, kAddressBytes);
  begin -= kTagBytes;
  begin[12] = static_cast<std::uint8_t>(tpid >> 8);
  begin[13] = static_cast<std::uint8_t>(tpid);
  begin[14] = static_cast<std::uint8_t>(tci >> 8);
  begin[15] = static_cast<std::uint8_t>(tci);
  return {begin, length + kTagBytes};
}

// Accepts EtherType 0x8902 untagged, behind one tag, or behind an outer tag and an inner
// 0x8100 tag. The kernel has usually moved the outer tag into metadata by the time the
// filter runs (vlan_avail set, frame looks one tag shorter); when it has not, the outer tag
// is still in the data. Both cases converge on X = bytes of outer tag left in the data.
// The kernel leaves tags with the pre-standard TPIDs in the frame, so the filter looks past
// every outer TPID itself.
static_assert(outerTpids.size() == 4, "steps 4-7 test one outer TPID each");
constexpr std::array<sock_filter, 18> kCfmFilter = {{
    /* 0 */ BPF_STMT(BPF_LD | BPF_W | BPF_ABS,
                     static_cast<std::uint32_t>(SKF_AD_OFF + SKF_AD_VLAN_TAG_PRESENT)),
    /* 1 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 0, 0, 8),  // outer tag in metadata: 10
    /* 2 */ BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 12),
    /* 3 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ethTypeCfm, 13, 0),  // accept
    /* 4 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, outerTpids[0], 3, 0),
    /* 5 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, outerTpids[1], 2, 0),
    /* 6 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, outerTpids[2], 1, 0),
    /* 7 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, outerTpids[3], 0, 8),  // else drop
    /* 8 */ BPF_STMT(BPF_LDX | BPF_W | BPF_IMM, 4),
    /* 9 */ BPF_JUMP(BPF_JMP | BPF_JA, 1, 0, 0),
    /* 10 */ BPF_STMT(BPF_LDX | BPF_W | BPF_IMM, 0),
    /* 11 */ BPF_STMT(BPF_LD | BPF_H | BPF_IND, 12),
    /* 12 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ethTypeCfm, 4, 0),  // accept
    /* 13 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ethTypeDot1Q, 0, 2),  // else drop
    /* 14 */ BPF_STMT(BPF_LD | BPF_H | BPF_IND, 16),
    /* 15 */ BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ethTypeCfm, 1, 0),  // accept
    /* 16 */ BPF_STMT(BPF_RET | BPF_K, 0),
    /* 17 */ BPF_STMT(BPF_RET | BPF_K, std::numeric_limits<std::uint32_t>::max()),
}};

[[noreturn]] void throwOpenError(int err, const std::string& device, const char* step) {
  std::string what = "cannot open packet socket on " + device;
  if (err == EPERM || err == EACCES) {
    what += " (needs CAP_NET_RAW)";
  } else if (step != nullptr) {
    what += std::string(" (") + step + ")";
  }
  throw std::system_error(err, std::generic_category(), what);
}

}  // namespace

// Buffers for one recvmmsg call, made once: receive() must not allocate per frame. Each
// frame lands kTagBytes into its buffer so that a stripped tag can be put back by moving
// only the 12 address bytes.
struct AfPacketSocket::Batch {
  struct Slot {
    std::array<std::uint8_t, kTagBytes + kMaxFrameBytes> data;
    sockaddr_ll from;
    alignas(cmsghdr) std::array<std::uint8_t, CMSG_SPACE(sizeof(tpacket_auxdata)) + CMSG_SPACE(sizeof(timespec))>
        control;
    iovec iov;
  };
  std::array<Slot, kBatchFrames> slots;
  std::array<mmsghdr, kBatchFrames> headers;
};

// Frames waiting for one sendmmsg call. Copied, not referenced: a caller may edit its buffer
// once send() returned, and the frame must leave as it was when sent. Shared by the
// thread's sockets (one batches at a time), so that a thousand sockets do not each keep one.
struct AfPacketSocket::SendBatch {
  static constexpr std::size_t kSlotBytes = 2048;
  const AfPacketSocket* owner = nullptr;
  std::size_t count = 0;
  std::array<std::array<std::uint8_t, kSlotBytes>, kBatchFrames> data;
  std::array<iovec, kBatchFrames> iov;
  std::array<std::size_t, kBatchFrames> stampAt;  // TxTiming::stampAt of each frame
  std::array<mmsghdr, kBatchFrames> headers;

  static SendBatch& ofThread() {
    thread_local std::unique_ptr<SendBatch> batch = std::make_unique<SendBatch>();
    return *batch;
  }
};

AfPacketSocket::AfPacketSocket(const std::string& device)
    : device_(device), sends_(SendBatch::ofThread()) {
  const unsigned ifIndex = if_nametoindex(device.c_str());
  if (ifIndex == 0) throwOpenError(errno == ENXIO ? ENODEV : errno, device, nullptr);

  // Protocol 0: the kernel delivers nothing to the socket until bind, so no frame can
  // slip in before the filter is attached.
  fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd_ < 0) throwOpenError(errno, device, nullptr);

  // The destructor does not run for a constructor that throws.
  auto fail = [&](const char* step) {
    const int err = errno;
    if (ring_) ::munmap(ring_, kRingBytes);
    if (txFd_ >= 0) ::close(txFd_);
    ::close(fd_);
    throwOpenError(err, device, step);
  };

  const sock_fprog program{static_cast<unsigned short>(kCfmFilter.size()),
                           const_cast<sock_filter*>(kCfmFilter.data())};
  if (::setsockopt(fd_, SOL_SOCKET, SO_ATTACH_FILTER, &program, sizeof program) < 0) {
    fail("SO_ATTACH_FILTER");
  }
  const int on = 1;
  if (::setsockopt(fd_, SOL_PACKET, PACKET_AUXDATA, &on, sizeof on) < 0) {
    fail("PACKET_AUXDATA");
  }
  // The kernel's receive time of each frame (software; for the Y.1731 frames answered here):
  // the ring's slots carry it anyway, the queue gives it with this. Without it, none.
  ::setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
#ifdef PACKET_IGNORE_OUTGOING
  // Older kernels lack the option; receive() skips outgoing frames regardless.
  if (::setsockopt(fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on) < 0 &&
      errno != ENOPROTOOPT) {
    fail("PACKET_IGNORE_OUTGOING");
  }
#endif

  // Should a kernel queue frames for an unbound socket after all, none of them has been
  // through the filter.
  std::array<std::uint8_t, 64> scratch;
  while (::recv(fd_, scratch.data(), scratch.size(), MSG_DONTWAIT | MSG_TRUNC) >= 0) {
  }

  // Before bind: a frame queued on the socket before the ring existed would have no slot
  // saying that it waits there.
  mapRing();

  sockaddr_ll addr{};
  addr.sll_family = AF_PACKET;
  addr.sll_protocol = htons(ETH_P_ALL);
  addr.sll_ifindex = static_cast<int>(ifIndex);
  if (::bind(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) fail("bind");

  // Room for a burst of a few thousand small frames, so that the reader, not the kernel,
  // decides what is shed when it falls behind. Beyond the system's limit only with the
  // capability to override it; the default buffer serves otherwise.
  const int rcvbuf = kReceiveBufferBytes;
  if (::setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &rcvbuf, sizeof rcvbuf) < 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
  }

  // A real NIC filters multicast in hardware: join the CFM group addresses of every MD
  // level (01-80-C2-00-00-30..3F) so that CCMs and LTMs reach us.
  for (const Lumen::EthAddr& addr : Cfm::groupAddrs()) {
    packet_mreq mreq{};
    mreq.mr_ifindex = static_cast<int>(ifIndex);
    mreq.mr_type = PACKET_MR_MULTICAST;
    mreq.mr_alen = 6;
    std::memcpy(mreq.mr_address, addr.bytes().data(), addr.bytes().size());
    if (::setsockopt(fd_, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &mreq, sizeof mreq) < 0) {
      fail("PACKET_ADD_MEMBERSHIP");
    }
  }

  // Replies leave by a socket of their own that receives nothing and that nobody polls. The
  // kernel wakes a socket's waiters as each frame it sent is freed; on the polled socket that
  // is a wake-up per reply, for nothing, since only readability is watched.
  txFd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (txFd_ < 0) fail("socket");
  addr.sll_protocol = 0;  // bound to the device for sending only: no frame is delivered to it
  if (::bind(txFd_, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) fail("bind");
  // Software send times are reported; one is taken only for a frame whose send asks for it
  // (TxTiming::sentAt). Without them, a frame goes all the same.
  const int report = SOF_TIMESTAMPING_SOFTWARE;
  ::setsockopt(txFd_, SOL_SOCKET, SO_TIMESTAMPING, &report, sizeof report);

  batch_ = std::make_unique<Batch>();
  for (std::size_t i = 0; i < kBatchFrames; ++i) {
    auto& slot = batch_->slots[i];
    slot.iov.iov_base = slot.data.data() + kTagBytes;
    slot.iov.iov_len = kMaxFrameBytes;
  }
}

// Any step refused leaves the socket reading its queue, as it does without a ring.
void AfPacketSocket::mapRing() {
  const int version = TPACKET_V2;
  const unsigned reserve = kTagBytes;  // room to put a stripped tag back in place
  const int copyLongFrames = 1;
  tpacket_req request{kRingBlockBytes, kRingBytes / kRingBlockBytes, kRingSlotBytes, kRingFrames};
  if (::setsockopt(fd_, SOL_PACKET, PACKET_VERSION, &version, sizeof version) < 0 ||
      ::setsockopt(fd_, SOL_PACKET, PACKET_RESERVE, &reserve, sizeof reserve) < 0 ||
      ::setsockopt(fd_, SOL_PACKET, PACKET_COPY_THRESH, &copyLongFrames, sizeof copyLongFrames) < 0 ||
      ::setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &request, sizeof request) < 0) {
    return;
  }
  void* ring = ::mmap(nullptr, kRingBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (ring == MAP_FAILED) {
    tpacket_req none{};
    ::setsockopt(fd_, SOL_PACKET, PACKET_RX_RING, &none, sizeof none);
    return;
  }
  ring_ = static_cast<std::uint8_t*>(ring);
}

AfPacketSocket::~AfPacketSocket() {
  batchSendsIs(false);
  if (ring_) ::munmap(ring_, kRingBytes);
  if (txFd_ >= 0) ::close(txFd_);
  if (fd_ >= 0) ::close(fd_);
}

std::size_t AfPacketSocket::receive(
    const std::function<void(std::span<const std::uint8_t>)>& sink, std::size_t maxFrames) {
  return ring_ ? receiveRing(sink, maxFrames) : receiveQueued(sink, maxFrames);
}

std::size_t AfPacketSocket::receiveRing(
    const std::function<void(std::span<const std::uint8_t>)>& sink, std::size_t maxFrames) {
  std::size_t delivered = 0;
  drained_ = false;
  for (std::size_t read = 0; read < maxFrames; ++read) {
    std::uint8_t* slot = ring_ + ringHead_ * kRingSlotBytes;
    auto* header = reinterpret_cast<tpacket2_hdr*>(slot);
    const std::uint32_t status = __atomic_load_n(&header->tp_status, __ATOMIC_ACQUIRE);
    if (!(status & TP_STATUS_USER)) {
      // Nothing to read, yet the socket was readable: a device going down leaves an error
      // pending (reading the queue would have taken it). Left there it would keep the
      // socket ready, and the loop spinning on it.
      if (read == 0) clearPendingError();
      drained_ = true;
      break;
    }
    const auto* from = reinterpret_cast<const sockaddr_ll*>(slot + TPACKET_ALIGN(sizeof(tpacket2_hdr)));
    if (status & TP_STATUS_COPY) {
      // The whole frame waits on the socket's queue, in the same order. The ring, not the
      // queue, says whether more wait.
      delivered += receiveQueued(sink, 1);
      drained_ = false;
    } else if (header->tp_snaplen < header->tp_len || header->tp_mac + header->tp_snaplen > kRingSlotBytes) {
      ++truncatedFrames_;  // longer than a slot, with no room left on the queue for it
    } else if (from->sll_pkttype != PACKET_OUTGOING) {
      rxTime_ = {time_t(header->tp_sec), long(header->tp_nsec)};
      sink(withTag(slot + header->tp_mac, header->tp_snaplen, status, header->tp_vlan_tci,
                   header->tp_vlan_tpid));
      ++delivered;
    }
    __atomic_store_n(&header->tp_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
    ringHead_ = (ringHead_ + 1) % kRingFrames;
  }
  return delivered;
}

bool AfPacketSocket::backlogAtLeast(std::size_t frames) const {
  if (!ring_ || frames == 0) return true;
  if (frames > kRingFrames) return false;
  // The kernel fills slots in order, so the slot `frames - 1` ahead is the kernel's only
  // once those before it are.
  const auto* header =
      reinterpret_cast<const tpacket2_hdr*>(ring_ + (ringHead_ + frames - 1) % kRingFrames * kRingSlotBytes);
  return __atomic_load_n(&header->tp_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER;
}

void AfPacketSocket::clearPendingError() {
  int error = 0;
  socklen_t length = sizeof error;
  ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length);
}

std::size_t AfPacketSocket::receiveQueued(
    const std::function<void(std::span<const std::uint8_t>)>& sink, std::size_t maxFrames) {
  std::size_t delivered = 0;
  std::size_t read = 0;
  drained_ = false;
  while (read < maxFrames) {
    const std::size_t want = std::min(maxFrames - read, kBatchFrames);
    for (std::size_t i = 0; i < want; ++i) {
      auto& slot = batch_->slots[i];
      msghdr& h = batch_->headers[i].msg_hdr;
      h = msghdr{};
      h.msg_name = &slot.from;
      h.msg_namelen = sizeof slot.from;
      h.msg_iov = &slot.iov;
      h.msg_iovlen = 1;
      h.msg_control = slot.control.data();
      h.msg_controllen = slot.control.size();
    }
    const int got = ::recvmmsg(fd_, batch_->headers.data(), static_cast<unsigned>(want),
                               MSG_DONTWAIT, nullptr);
    if (got < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENETDOWN) {
        drained_ = true;
        break;
      }
      drained_ = true;
      throw std::system_error(errno, std::generic_category(),
                              "cannot receive on packet socket on " + device_);
    }
    read += static_cast<std::size_t>(got);
    for (int i = 0; i < got; ++i) {
      auto& slot = batch_->slots[i];
      const msghdr& h = batch_->headers[i].msg_hdr;
      if (h.msg_flags & MSG_TRUNC) {
        ++truncatedFrames_;
        continue;
      }
      if (slot.from.sll_pkttype == PACKET_OUTGOING) continue;
      std::uint32_t status = 0;
      tpacket_auxdata aux{};
      rxTime_ = {};
      for (cmsghdr* c = CMSG_FIRSTHDR(&h); c != nullptr;
           c = CMSG_NXTHDR(const_cast<msghdr*>(&h), c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
          std::memcpy(&rxTime_, CMSG_DATA(c), sizeof rxTime_);
        } else if (c->cmsg_level == SOL_PACKET && c->cmsg_type == PACKET_AUXDATA) {
          std::memcpy(&aux, CMSG_DATA(c), sizeof aux);
          status = aux.tp_status;
        }
      }
      sink(withTag(slot.data.data() + kTagBytes, batch_->headers[i].msg_len, status, aux.tp_vlan_tci,
                   aux.tp_vlan_tpid));
      ++delivered;
    }
    if (static_cast<std::size_t>(got) < want) {  // nothing more waiting
      drained_ = true;
      break;
    }
  }
  return delivered;
}

std::uint64_t AfPacketSocket::kernelDrops() {
  // The kernel resets its counts on every read: keep the sum.
  tpacket_stats stats{};
  socklen_t length = sizeof stats;
  if (::getsockopt(fd_, SOL_PACKET, PACKET_STATISTICS, &stats, &length) == 0) {
    kernelDrops_ += stats.tp_drops;
  }
  return kernelDrops_;
}

namespace {

// Writes the time now where `timing` says, when the frame holds a timestamp there.
void stamp(std::span<std::uint8_t> frame, std::size_t at, const timespec& now) {
  if (at == 0) return;
  if (auto* t = Lumen::overlayAt<Cfm::PmTimestamp>(frame, at)) t->valueIs(Cfm::PmTime::of(now));
}

timespec realtimeNow() {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  return now;
}

}  // namespace

bool AfPacketSocket::send(std::span<const std::uint8_t> frame, const TxTiming& timing) {
  SendBatch& batch = sends_;
  if (batch.owner == this) {
    if (frame.size() <= SendBatch::kSlotBytes && !timing.sentAt) {
      auto& slot = batch.data[batch.count];
      std::memcpy(slot.data(), frame.data(), frame.size());
      batch.iov[batch.count] = iovec{slot.data(), frame.size()};
      batch.stampAt[batch.count] = timing.stampAt;
      if (++batch.count == kBatchFrames) flushSends();
      return true;
    }
    flushSends();  // a frame that does not go in the batch goes after those before it
  }
  if (timing.stampAt == 0) return sendNow(frame, timing.sentAt);
  // Stamped in a copy: the caller's frame stays as it gave it.
  std::array<std::uint8_t, Lumen::Pkt::maxBytes> copy;
  if (frame.size() > copy.size()) return sendNow(frame, timing.sentAt);
  std::memcpy(copy.data(), frame.data(), frame.size());
  const std::span<std::uint8_t> stamped(copy.data(), frame.size());
  stamp(stamped, timing.stampAt, realtimeNow());
  return sendNow(stamped, timing.sentAt);
}

bool AfPacketSocket::sendNow(std::span<const std::uint8_t> frame, timespec* sentAt) {
  // The kernel times only the frames whose send asks for it: the socket reports software
  // times, and this control message makes one be taken for this frame.
  alignas(cmsghdr) std::array<std::uint8_t, CMSG_SPACE(sizeof(std::uint32_t))> control{};
  iovec iov{const_cast<std::uint8_t*>(frame.data()), frame.size()};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  if (sentAt) {
    *sentAt = {};
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SO_TIMESTAMPING;
    c->cmsg_len = CMSG_LEN(sizeof(std::uint32_t));
    const std::uint32_t flags = SOF_TIMESTAMPING_TX_SOFTWARE;
    std::memcpy(CMSG_DATA(c), &flags, sizeof flags);
  }
  for (;;) {
    const ssize_t sent = ::sendmsg(txFd_, &msg, MSG_DONTWAIT);
    if (sent >= 0) break;
    if (errno == EINTR) continue;
    ++sendErrors_;
    return false;
  }
  if (sentAt) sentTime(frame, *sentAt);
  return true;
}

void AfPacketSocket::sentTime(std::span<const std::uint8_t> frame, timespec& sentAt) {
  // Most devices take the frame within the send call, and their driver's time of it is on
  // the queue when the call returns; a time that came later for an earlier frame is read
  // and passed over here.
  std::array<std::uint8_t, Lumen::Pkt::maxBytes> back;
  for (;;) {
    alignas(cmsghdr) std::array<std::uint8_t, 256> control;
    iovec iov{back.data(), back.size()};
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    const ssize_t n = ::recvmsg(txFd_, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    const bool same = std::size_t(n) == frame.size() && std::memcmp(back.data(), frame.data(), frame.size()) == 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); same && c; c = CMSG_NXTHDR(&msg, c)) {
      if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SO_TIMESTAMPING) continue;
      scm_timestamping times;
      std::memcpy(&times, CMSG_DATA(c), sizeof times);
      sentAt = times.ts[0];  // the software time
      return;
    }
  }
}

void AfPacketSocket::batchSendsIs(bool batch) {
  SendBatch& sends = sends_;
  if (batch) {
    if (sends.owner == nullptr) sends.owner = this;
    return;
  }
  if (sends.owner != this) return;
  flushSends();
  sends.owner = nullptr;
}

void AfPacketSocket::flushSends() {
  SendBatch& batch = sends_;
  std::size_t done = 0;
  while (done < batch.count) {
    for (std::size_t i = done; i < batch.count; ++i) {
      batch.headers[i] = mmsghdr{};
      batch.headers[i].msg_hdr.msg_iov = &batch.iov[i];
      batch.headers[i].msg_hdr.msg_iovlen = 1;
    }
    // One reading for the batch: its frames leave together, within microseconds.
    if (std::any_of(batch.stampAt.begin() + long(done), batch.stampAt.begin() + long(batch.count),
                    [](std::size_t at) { return at != 0; })) {
      const timespec now = realtimeNow();
      for (std::size_t i = done; i < batch.count; ++i) {
        stamp({batch.data[i].data(), batch.iov[i].iov_len}, batch.stampAt[i], now);
      }
    }
    const int sent = ::sendmmsg(txFd_, batch.headers.data() + done,
                                static_cast<unsigned>(batch.count - done), MSG_DONTWAIT);
    if (sent > 0) {
      done += static_cast<std::size_t>(sent);
    } else if (sent < 0 && errno == EINTR) {
      continue;
    } else {
      // The first frame left was refused (full queue, device down): it is lost, the rest
      // still get their try.
      ++lateSendErrors_;
      ++done;
    }
  }
  batch.count = 0;
}

}  // namespace Interface
