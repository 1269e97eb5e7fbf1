// The link watcher against a stand-in for the kernel: the far end of a socket pair reads
// each listing request and answers it as the kernel does, also when it refuses or fails.

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "apps/cfmagentd/LinkWatcher.h"

namespace {

using Log = std::vector<std::string>;

template <class T>
std::string bytes(const T& value) {
  return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

std::string message(std::uint16_t type, std::uint16_t flags, std::uint32_t seq, const std::string& payload) {
  nlmsghdr header{};
  header.nlmsg_len = NLMSG_LENGTH(payload.size());
  header.nlmsg_type = type;
  header.nlmsg_flags = flags;
  header.nlmsg_seq = seq;
  std::string out = bytes(header) + payload;
  out.resize(NLMSG_ALIGN(out.size()), '\0');
  return out;
}

// The kernel's messages, made for the listing whose sequence number they are given (0: a
// notification of no listing).
using Reply = std::function<std::string(std::uint32_t seq)>;

Reply newLink(int index, const std::string& name, std::uint16_t flags = NLM_F_MULTI) {
  return [=](std::uint32_t seq) {
    ifinfomsg info{};
    info.ifi_index = index;
    rtattr attr{};
    attr.rta_type = IFLA_IFNAME;
    attr.rta_len = RTA_LENGTH(name.size() + 1);
    std::string attribute = bytes(attr) + name + '\0';
    attribute.resize(RTA_ALIGN(attribute.size()), '\0');
    return message(RTM_NEWLINK, flags, flags & NLM_F_MULTI ? seq : 0, bytes(info) + attribute);
  };
}
Reply done(int error = 0) {
  return [=](std::uint32_t seq) { return message(NLMSG_DONE, NLM_F_MULTI, seq, bytes(error)); };
}
Reply refused(int error) {
  return [=](std::uint32_t seq) { return message(NLMSG_ERROR, 0, seq, bytes(nlmsgerr{error, {}})); };
}

TEST(LinkWatcher, ListingsAsTheKernelAnswersThem) {
  const struct {
    const char* name;
    std::vector<std::vector<Reply>> listings;  // the answers to each request, in order
    Log reports;
  } cases[] = {
      {"refused", {{refused(-EBUSY)}}, {"! the kernel refused to list network devices: Device or resource busy"}},
      {"failed partway",
       {{newLink(2, "sw-a"), done(-EMSGSIZE)}},
       {"+sw-a/2", "! listing network devices failed: Message too long"}},
      // The kernel says devices changed while it listed them: listed again, what the second
      // listing lacks is gone.
      {"inconsistent",
       {{newLink(2, "sw-a"), newLink(3, "sw-b", NLM_F_MULTI | NLM_F_DUMP_INTR), done()}, {newLink(3, "sw-b"), done()}},
       {"+sw-a/2", "+sw-b/3", "+sw-b/3", "-sw-a/2"}},
      // A name on another index: the device that had it went, even though nobody said.
      {"name moved", {{newLink(2, "sw-a"), newLink(5, "sw-a", 0), done()}}, {"+sw-a/2", "-sw-a/2", "+sw-a/5"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds), 0);
    const int kernel = fds[1];
    Kiln::EventLoop loop;
    Log reports;
    Runner::LinkWatcher watcher(
        loop,
        [&](const std::string& name, int index, bool present) {
          reports.push_back((present ? "+" : "-") + name + "/" + std::to_string(index));
        },
        [&](const std::string& what) { reports.push_back("! " + what); }, fds[0]);
    for (const auto& listing : c.listings) {
      alignas(nlmsghdr) char request[256];
      const ssize_t n = ::recv(kernel, request, sizeof request, MSG_DONTWAIT);
      ASSERT_GE(n, ssize_t(sizeof(nlmsghdr))) << "no listing requested";
      const auto& header = *reinterpret_cast<const nlmsghdr*>(request);
      ASSERT_EQ(header.nlmsg_type, RTM_GETLINK);
      ASSERT_EQ(header.nlmsg_flags, NLM_F_REQUEST | NLM_F_DUMP);
      for (const auto& reply : listing) {
        const std::string m = reply(header.nlmsg_seq);
        ASSERT_EQ(::send(kernel, m.data(), m.size(), 0), ssize_t(m.size()));
      }
      loop.runUntilIdle();
    }
    EXPECT_EQ(reports, c.reports);
    char extra[256];
    EXPECT_LT(::recv(kernel, extra, sizeof extra, MSG_DONTWAIT), 0) << "listed once more";
    ::close(kernel);
  }
}

}  // namespace
