#include "platform/linux/LinkWatcher.h"

#include <linux/if.h>
#include <sys/epoll.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/intf/KernelNetInfo.h"

namespace LinuxNet {

int LinkWatcher::openSocket() { return Rtnetlink::open(RTMGRP_LINK); }

LinkWatcher::LinkWatcher(Kiln::EventLoop& loop, LinkHandler onLink, ErrorHandler onError)
    : LinkWatcher(loop, std::move(onLink), std::move(onError), openSocket()) {}

LinkWatcher::LinkWatcher(Kiln::EventLoop& loop, LinkHandler onLink, ErrorHandler onError, int fd)
    : loop_(loop), onLink_(std::move(onLink)), onError_(std::move(onError)), socket_(fd) {
  if (!onError_) {
    onError_ = [](const std::string& what) { std::fprintf(stderr, "LinkWatcher: %s\n", what.c_str()); };
  }
  // Subscribed before the listing: a device added meanwhile shows up at least once.
  if (!list()) throw std::system_error(errno, std::generic_category(), "netlink link dump");
  loop_.fdIs(socket_.fd(), EPOLLIN, [this](std::uint32_t) { readable(); });
}

LinkWatcher::~LinkWatcher() { loop_.fdDel(socket_.fd()); }

bool LinkWatcher::list() {
  seen_.clear();
  listAgain_ = false;
  listing_ = socket_.dumpRequest(RTM_GETLINK, AF_UNSPEC, ++listSeq_);
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
  const int err = socket_.drain([this](const nlmsghdr& msg) { handle(msg); },
                                [this] {
                                  // Notifications were lost: list everything again, after the
                                  // listing under way (the kernel answers one at a time).
                                  listAgain_ = true;
                                  if (!listing_) relist();
                                });
  if (err) onError_(std::string("netlink: ") + std::strerror(err));
}

void LinkWatcher::handle(const nlmsghdr& msg) {
  if (msg.nlmsg_type == RTM_NEWLINK || msg.nlmsg_type == RTM_DELLINK) link(msg);
  if (!listing_ || msg.nlmsg_seq != listSeq_) return;
  // Devices changed while the kernel listed them: the listing may have missed some.
  if (msg.nlmsg_flags & NLM_F_DUMP_INTR) listAgain_ = true;
  if (msg.nlmsg_type != NLMSG_DONE && msg.nlmsg_type != NLMSG_ERROR) return;
  const int error = endError(msg);
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
  const Attrs a = Attrs::after(msg, sizeof(ifinfomsg));
  const std::string name = a.text(IFLA_IFNAME);
  const std::uint8_t operState = a.scalar<std::uint8_t>(IFLA_OPERSTATE).value_or(IF_OPER_UNKNOWN);
  const std::uint32_t mtu = a.scalar<std::uint32_t>(IFLA_MTU).value_or(KernelNetInfo::defaultMtu);
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

}  // namespace LinuxNet
