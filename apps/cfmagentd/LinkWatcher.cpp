#include "apps/cfmagentd/LinkWatcher.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>

namespace Runner {

namespace {

[[noreturn]] void fail(const char* what) { throw std::system_error(errno, std::generic_category(), what); }

}  // namespace

LinkWatcher::LinkWatcher(Kiln::EventLoop& loop, LinkHandler onLink)
    : loop_(loop), onLink_(std::move(onLink)) {
  fd_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  if (fd_ < 0) fail("netlink socket");
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = RTMGRP_LINK;
  if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    const int e = errno;
    ::close(fd_);
    errno = e;
    fail("netlink bind");
  }
  // Subscribed before the listing: a device added meanwhile shows up at least once.
  request();
  loop_.fdIs(fd_, EPOLLIN, [this](std::uint32_t) { readable(); });
}

LinkWatcher::~LinkWatcher() {
  loop_.fdDel(fd_);
  ::close(fd_);
}

void LinkWatcher::request() {
  struct {
    nlmsghdr header;
    ifinfomsg info;
  } req{};
  req.header.nlmsg_len = sizeof req;
  req.header.nlmsg_type = RTM_GETLINK;
  req.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  req.header.nlmsg_seq = 1;
  req.info.ifi_family = AF_UNSPEC;
  if (::send(fd_, &req, sizeof req, 0) < 0) fail("netlink link dump");
}

void LinkWatcher::readable() {
  alignas(nlmsghdr) char buffer[32768];
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return;
      if (errno == ENOBUFS) {
        // Notifications were lost: list everything again.
        request();
        continue;
      }
      return;
    }
    std::size_t left = std::size_t(n);
    for (auto* msg = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(msg, left); msg = NLMSG_NEXT(msg, left)) {
      if (msg->nlmsg_type != RTM_NEWLINK && msg->nlmsg_type != RTM_DELLINK) continue;
      const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(msg));
      std::string name;
      int attrLeft = int(IFLA_PAYLOAD(msg));
      for (auto* attr = IFLA_RTA(info); RTA_OK(attr, attrLeft); attr = RTA_NEXT(attr, attrLeft)) {
        if (attr->rta_type == IFLA_IFNAME) {
          name.assign(static_cast<const char*>(RTA_DATA(attr)),
                      strnlen(static_cast<const char*>(RTA_DATA(attr)), RTA_PAYLOAD(attr)));
        }
      }
      if (name.empty()) continue;
      const int index = info->ifi_index;
      if (msg->nlmsg_type == RTM_DELLINK) {
        names_.erase(index);
        onLink_(name, index, false);
        continue;
      }
      auto [it, added] = names_.try_emplace(index, name);
      if (!added && it->second != name) {
        const std::string old = std::exchange(it->second, name);
        onLink_(old, index, false);
      }
      onLink_(name, index, true);
    }
  }
}

}  // namespace Runner
