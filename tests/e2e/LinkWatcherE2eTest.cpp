// LinkWatcher on the devices of a network namespace of its own.

#include <gtest/gtest.h>
#include <linux/netlink.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "platform/linux/LinkWatcher.h"
#include "tests/support/Netns.h"

namespace {

// The kernel's devices as the watcher learns them: a listing, then additions, renames and
// removals, each as it happens; and once the kernel has dropped notices (the smallest
// receive buffer holds one) those of new devices, a removal and a reused name, a listing
// again that reports what went meanwhile.
TEST(LinkWatcherE2e, ReportsDevicesAsTheyComeAreRenamedAndGoEvenWhenNoticesWereDropped) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for network namespaces";
  E2e::Netns ns;
  ns.ip({"link", "add", "gone0", "type", "veth", "peer", "name", "gone1"});
  Kiln::EventLoop loop;
  std::vector<std::string> reports;
  std::map<std::string, int> indexes;
  const int fd = ns.inside(LinuxNet::LinkWatcher::openSocket);
  LinuxNet::LinkWatcher watcher(
      loop,
      [&](const std::string& name, int ifIndex, bool present, std::uint8_t, std::uint32_t) {
        reports.push_back((present ? "+" : "-") + name);
        indexes[name] = ifIndex;
      },
      [&](const std::string& what) { reports.push_back("! " + what); }, fd);
  // The kernel queues a notice before `ip` returns: what the loop reads then is all of it.
  const auto reported = [&] {
    loop.runUntilIdle();
    return std::exchange(reports, {});
  };
  using Set = std::set<std::string>;
  const auto asSet = [](const std::vector<std::string>& v) { return Set(v.begin(), v.end()); };
  EXPECT_EQ(asSet(reported()), (Set{"+lo", "+gone0", "+gone1"}));
  ns.ip({"link", "add", "ve0", "type", "veth", "peer", "name", "ve1"});
  // A device seen again (a state change) is reported present again, nothing more.
  EXPECT_EQ(asSet(reported()), (Set{"+ve0", "+ve1"}));
  const int index = indexes["ve0"];
  ns.ip({"link", "set", "ve0", "name", "ve9"});
  EXPECT_EQ(reported(), (std::vector<std::string>{"-ve0", "+ve9"}));
  EXPECT_EQ(indexes["ve9"], index);
  ns.ip({"link", "del", "ve9"});
  EXPECT_EQ(asSet(reported()), (Set{"-ve9", "-ve1"}));

  const int smallest = 1;
  ASSERT_EQ(::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest), 0);
  for (const std::string n : {"1", "2", "3"}) {
    ns.ip({"link", "add", "ve" + n, "type", "veth", "peer", "name", "vp" + n});
  }
  ns.ip({"link", "del", "gone0"});
  ns.ip({"link", "add", "gone0", "type", "veth", "peer", "name", "gone2"});
  const auto again = reported();
  EXPECT_EQ(asSet(again), (Set{"+lo", "+ve1", "+vp1", "+ve2", "+vp2", "+ve3", "+vp3", "-gone0", "-gone1", "+gone0",
                               "+gone2"}));
  EXPECT_LT(std::find(again.begin(), again.end(), "-gone0"), std::find(again.begin(), again.end(), "+gone0"))
      << "the old gone0 goes before the new one comes";
}

// Generic netlink knows no link listing: its error reply stands for a refused one.
TEST(LinkWatcher, AListingTheKernelRefusesIsReported) {
  Kiln::EventLoop loop;
  std::vector<std::string> errors;
  LinuxNet::LinkWatcher watcher(
      loop, [](const std::string&, int, bool, std::uint8_t, std::uint32_t) {}, [&](const std::string& what) { errors.push_back(what); },
      ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_GENERIC));
  loop.runUntilIdle();
  EXPECT_EQ(errors, std::vector<std::string>{"the kernel refused to list network devices: No such file or directory"});
}

}  // namespace
