#include "platform/linux/Rtnetlink.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace LinuxNet {

namespace {

[[noreturn]] void fail(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), what);
}

// Every message of one datagram.
void walk(const char* buffer, std::size_t length, const Rtnetlink::MessageHandler& onMessage) {
  for (auto* msg = reinterpret_cast<const nlmsghdr*>(buffer); NLMSG_OK(msg, length); msg = NLMSG_NEXT(msg, length)) {
    onMessage(*msg);
  }
}

}  // namespace

int Rtnetlink::open(std::uint32_t groups, bool blocking) {
  const int fd = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | (blocking ? 0 : SOCK_NONBLOCK), NETLINK_ROUTE);
  if (fd < 0) fail(errno, "netlink socket");
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = groups;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    const int e = errno;
    ::close(fd);
    fail(e, "netlink bind");
  }
  // A listing that ends in an error reports it rather than leaving a reader waiting.
  const int one = 1;
  ::setsockopt(fd, SOL_NETLINK, NETLINK_EXT_ACK, &one, sizeof one);
  return fd;
}

Rtnetlink::~Rtnetlink() {
  if (fd_ >= 0) ::close(fd_);
}

bool Rtnetlink::dumpRequest(std::uint16_t type, std::uint8_t family, std::uint32_t seq,
                            std::uint32_t extMask) const {
  struct {
    nlmsghdr header;
    ifinfomsg info;
    rtattr extMaskAttr;
    std::uint32_t extMask;
  } req{};
  std::size_t size;
  req.header.nlmsg_type = type;
  req.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
  req.header.nlmsg_seq = seq;
  if (type == RTM_GETNEIGH) {
    // A bare ndmsg: the kernel reads a request of exactly that size as one.
    reinterpret_cast<ndmsg*>(&req.info)->ndm_family = family;
    size = NLMSG_LENGTH(sizeof(ndmsg));
  } else {
    req.info.ifi_family = family;
    size = NLMSG_LENGTH(sizeof(ifinfomsg));
    if (extMask) {
      req.extMaskAttr.rta_type = IFLA_EXT_MASK;
      req.extMaskAttr.rta_len = RTA_LENGTH(sizeof(std::uint32_t));
      req.extMask = extMask;
      size = sizeof req;
    }
  }
  req.header.nlmsg_len = std::uint32_t(size);
  return ::send(fd_, &req, size, 0) >= 0;
}

int Rtnetlink::drain(const MessageHandler& onMessage, const std::function<void()>& onLost) const {
  alignas(nlmsghdr) char buffer[32768];
  for (;;) {
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n == 0) return 0;  // a netlink socket never ends; another kind of socket may
    if (n < 0) {
      if (errno == EAGAIN || errno == EINTR) return 0;
      if (errno != ENOBUFS) return errno;
      onLost();
      continue;
    }
    walk(buffer, std::size_t(n), onMessage);
  }
}

bool Rtnetlink::dump(std::uint16_t type, std::uint8_t family, std::uint32_t seq, std::uint32_t extMask,
                     const MessageHandler& onMessage, const std::string& what) const {
  if (!dumpRequest(type, family, seq, extMask)) fail(errno, what + ": netlink dump request");
  bool interrupted = false;
  alignas(nlmsghdr) char buffer[32768];
  for (bool done = false; !done;) {
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno, what + ": netlink dump");
    }
    walk(buffer, std::size_t(n), [&](const nlmsghdr& msg) {
      if (done || msg.nlmsg_seq != seq) return;
      if (msg.nlmsg_flags & NLM_F_DUMP_INTR) interrupted = true;
      if (msg.nlmsg_type != NLMSG_ERROR && msg.nlmsg_type != NLMSG_DONE) return onMessage(msg);
      if (const int error = endError(msg); error < 0) fail(-error, "netlink dump of " + what);
      done = true;
    });
  }
  return interrupted;
}

int endError(const nlmsghdr& msg) {
  int error = 0;
  if (msg.nlmsg_len >= NLMSG_LENGTH(sizeof error)) std::memcpy(&error, NLMSG_DATA(&msg), sizeof error);
  return error;
}

Attrs::Attrs(const rtattr* first, int length) {
  for (auto* a = first; RTA_OK(a, length); a = RTA_NEXT(a, length)) byType_[a->rta_type & NLA_TYPE_MASK] = a;
}

Attrs Attrs::after(const nlmsghdr& msg, std::size_t headerSize) {
  return Attrs(reinterpret_cast<const rtattr*>(static_cast<const char*>(NLMSG_DATA(&msg)) + NLMSG_ALIGN(headerSize)),
               int(msg.nlmsg_len) - int(NLMSG_LENGTH(headerSize)));
}

const rtattr* Attrs::find(unsigned type) const {
  auto it = byType_.find(type);
  return it == byType_.end() ? nullptr : it->second;
}

Attrs Attrs::nested(unsigned type) const {
  const rtattr* a = find(type);
  return a ? Attrs(static_cast<const rtattr*>(RTA_DATA(a)), int(RTA_PAYLOAD(a))) : Attrs(nullptr, 0);
}

std::string Attrs::text(unsigned type) const {
  const rtattr* a = find(type);
  if (!a) return {};
  const auto* data = static_cast<const char*>(RTA_DATA(a));
  return std::string(data, strnlen(data, RTA_PAYLOAD(a)));
}

std::optional<Lumen::EthAddr> Attrs::mac(unsigned type) const {
  const rtattr* a = find(type);
  if (!a || RTA_PAYLOAD(a) != 6) return std::nullopt;
  return Lumen::EthAddr::fromBytes(static_cast<const std::uint8_t*>(RTA_DATA(a)));
}

}  // namespace LinuxNet
