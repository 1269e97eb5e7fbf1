#include "apps/cfmagentd/LinkWatcher.h"

#include <linux/if.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/intf/KernelNetInfo.h"

namespace Runner {

namespace {

[[noreturn]] void fail(int err, const char* what) { throw std::system_error(err, std::generic_category(), what); }

}  // namespace

int LinkWatcher::openSocket() {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd < 0) fail(errno, "netlink socket");
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = RTMGRP_LINK;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    const int e = errno;
    ::close(fd);
    fail(e, "netlink bind");
  }
  return fd;
}

LinkWatcher::LinkWatcher(Kiln::EventLoop& loop, LinkHandler onLink, ErrorHandler onError)
    : LinkWatcher(loop, std::move(onLink), std::move(onError), openSocket()) {}

LinkWatcher::LinkWatcher(Kiln::EventLoop& loop, LinkHandler onLink, ErrorHandler onError, int fd)
    : loop_(loop), onLink_(std::move(onLink)), onError_(std::move(onError)), fd_(fd) {
  if (!onError_) {
    onError_ = [](const std::string& what) { std::fprintf(stderr, "LinkWatcher: %s\n", what.c_str()); };
  }
  // Subscribed before the listing: a device added meanwhile shows up at least once.
  if (!list()) {
    const int e = errno;
    ::close(fd_);
    fail(e, "netlink link dump");
  }
  loop_.fdIs(fd_, EPOLLIN, [this](std::uint32_t) { readable(); });
}

LinkWatcher::~LinkWatcher() {
  loop_.fdDel(fd_);
  ::close(fd_);
}

bool LinkWatcher::list() {
  struct {
    nlmsghdr header;
    ifinfomsg info;
  } req{};
  req.header.nlmsg_len = sizeof req;
  req.header.nlmsg_type = RTM_GETLINK;
  req.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  req.header.nlmsg_seq = ++listSeq_;
  req.info.ifi_family = AF_UNSPEC;
  seen_.clear();
  listAgain_ = false;
  listing_ = ::send(fd_, &req, sizeof req, 0) >= 0;
  return listing_;
}

void LinkWatcher::relist() {
  if (!list()) onError_(std::string("cannot list network devices: ") + std::strerror(errno));
}

void LinkWatcher::listed() {
  listing_ = false;
  if (listAgain_) return relist();
  // Whatever the listing did not show is gone, whether or not its removal was heard.
  std::vector<std::pair<int, std::string>> gone;
  for (const auto& [index, name] : names_) {
    if (!seen_.contains(index)) gone.emplace_back(index, name);
  }
  for (const auto& [index, name] : gone) {
    names_.erase(index);
    onLink_(name, index, false, IF_OPER_NOTPRESENT, 0);
  }
}

void LinkWatcher::readable() {
  alignas(nlmsghdr) char buffer[32768];
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) return;  // a netlink socket never ends; another kind of socket may
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      if (errno == ENOBUFS) {
        // Notifications were lost: list everything again, after the listing under way
        // (the kernel answers one at a time).
        listAgain_ = true;
        if (!listing_) relist();
        continue;
      }
      onError_(std::string("netlink: ") + std::strerror(errno));
      return;
    }
    std::size_t left = std::size_t(n);
    for (auto* msg = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(msg, left); msg = NLMSG_NEXT(msg, left)) {
      handle(*msg);
    }
  }
}

void LinkWatcher::handle(const nlmsghdr& msg) {
  if (msg.nlmsg_type == RTM_NEWLINK || msg.nlmsg_type == RTM_DELLINK) link(msg);
  if (!listing_ || msg.nlmsg_seq != listSeq_) return;
  // Devices changed while the kernel listed them: the listing may have missed some.
  if (msg.nlmsg_flags & NLM_F_DUMP_INTR) listAgain_ = true;
  if (msg.nlmsg_type != NLMSG_DONE && msg.nlmsg_type != NLMSG_ERROR) return;
  // Both carry an error number first, negative when the kernel refused or failed the
  // listing; a DONE with 0 ends a complete one.
  int error = 0;
  if (msg.nlmsg_len >= NLMSG_LENGTH(sizeof error)) std::memcpy(&error, NLMSG_DATA(&msg), sizeof error);
  if (error == 0) {
    if (msg.nlmsg_type == NLMSG_DONE) listed();
    return;
  }
  listing_ = false;
  onError_(std::string(msg.nlmsg_type == NLMSG_ERROR ? "the kernel refused to list network devices: "
                                                       : "listing network devices failed: ") +
           std::strerror(-error));
}

void LinkWatcher::link(const nlmsghdr& msg) {
  if (msg.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
  const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(&msg));
  std::string name;
  std::uint8_t operState = IF_OPER_UNKNOWN;
  std::uint32_t mtu = KernelNetInfo::defaultMtu;
  int attrLeft = int(IFLA_PAYLOAD(&msg));
  for (auto* attr = IFLA_RTA(info); RTA_OK(attr, attrLeft); attr = RTA_NEXT(attr, attrLeft)) {
    if (attr->rta_type == IFLA_IFNAME) {
      name.assign(static_cast<const char*>(RTA_DATA(attr)),
                  strnlen(static_cast<const char*>(RTA_DATA(attr)), RTA_PAYLOAD(attr)));
    } else if (attr->rta_type == IFLA_OPERSTATE && RTA_PAYLOAD(attr) >= 1) {
      operState = *static_cast<const std::uint8_t*>(RTA_DATA(attr));
    } else if (attr->rta_type == IFLA_MTU && RTA_PAYLOAD(attr) >= sizeof(std::uint32_t)) {
      std::memcpy(&mtu, RTA_DATA(attr), sizeof mtu);
    }
  }
  if (name.empty()) return;
  const int index = info->ifi_index;
  if (msg.nlmsg_type == RTM_DELLINK) {
    names_.erase(index);
    onLink_(name, index, false, IF_OPER_NOTPRESENT, 0);
    return;
  }
  if (listing_) seen_.insert(index);
  // One device has a name at a time: another index that had it went (or was renamed)
  // even if we never heard.
  for (auto it = names_.begin(); it != names_.end();) {
    if (it->first == index || it->second != name) {
      ++it;
      continue;
    }
    const int old = it->first;
    it = names_.erase(it);
    onLink_(name, old, false, IF_OPER_NOTPRESENT, 0);
  }
  auto [it, added] = names_.try_emplace(index, name);
  if (!added && it->second != name) {
    const std::string old = std::exchange(it->second, name);
    onLink_(old, index, false, IF_OPER_NOTPRESENT, 0);
  }
  onLink_(name, index, true, operState, mtu);
}

}  // namespace Runner
