#pragma once
// The one rtnetlink reader the Linux adapters share: a NETLINK_ROUTE socket, listing
// requests, the receive loop with its message walk, the end of a listing, and the
// attributes of a message.

#include <linux/netlink.h>
#include <linux/rtnetlink.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "platform/lumen/Eth.h"

namespace LinuxNet {

class Rtnetlink {
 public:
  using MessageHandler = std::function<void(const nlmsghdr&)>;

  // A close-on-exec socket bound to the multicast `groups` (RTMGRP_*, 0 for none);
  // non-blocking unless `blocking`. Raises std::system_error.
  static int open(std::uint32_t groups, bool blocking = false);

  // Owns `fd`, an open netlink socket, and closes it when destroyed.
  explicit Rtnetlink(int fd) : fd_(fd) {}
  ~Rtnetlink();
  Rtnetlink(const Rtnetlink&) = delete;
  Rtnetlink& operator=(const Rtnetlink&) = delete;
  int fd() const { return fd_; }

  // Asks for a listing of `type` (RTM_GETLINK, RTM_GETNEIGH) in `family`, numbered `seq`;
  // `extMask` (RTEXT_FILTER_*) asks for more of each link. False, with errno, when the
  // socket does not take it.
  bool dumpRequest(std::uint16_t type, std::uint8_t family, std::uint32_t seq, std::uint32_t extMask = 0) const;

  // Hands every message waiting to `onMessage`, without blocking. Lost notifications
  // (the socket's buffer overflowed) call `onLost` and the reading goes on. Returns 0 once
  // nothing waits, else the errno of a failed read.
  int drain(const MessageHandler& onMessage, const std::function<void()>& onLost) const;

  // A whole listing on a blocking socket: the request, then each of its messages to
  // `onMessage` until its end. Returns whether the kernel changed what it listed meanwhile
  // (the listing may be torn). Raises std::system_error naming `what` when the kernel
  // refuses or fails it.
  bool dump(std::uint16_t type, std::uint8_t family, std::uint32_t seq, std::uint32_t extMask,
            const MessageHandler& onMessage, const std::string& what) const;

 private:
  int fd_;
};

// NLMSG_DONE and NLMSG_ERROR both carry an error number first: negative when the kernel
// refused or failed the request, 0 when a listing ended complete.
int endError(const nlmsghdr& msg);

// The attributes of one level of a message, by type; a nested level is read with
// nested().
class Attrs {
 public:
  Attrs(const rtattr* first, int length);
  // The attributes after a message's family header of `headerSize` bytes.
  static Attrs after(const nlmsghdr& msg, std::size_t headerSize);

  const rtattr* find(unsigned type) const;
  Attrs nested(unsigned type) const;
  template <class T>
  std::optional<T> scalar(unsigned type) const {
    const rtattr* a = find(type);
    if (!a || RTA_PAYLOAD(a) < sizeof(T)) return std::nullopt;
    T value;
    std::memcpy(&value, RTA_DATA(a), sizeof value);
    return value;
  }
  // A string attribute up to its first NUL; "" when absent.
  std::string text(unsigned type) const;
  std::optional<Lumen::EthAddr> mac(unsigned type) const;

 private:
  std::map<unsigned, const rtattr*> byType_;
};

}  // namespace LinuxNet
