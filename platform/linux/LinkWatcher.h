#pragma once
// The kernel's network devices as they come and go: a rtnetlink socket on the event loop,
// subscribed to link changes, plus a full listing at start and again whenever the kernel
// dropped notifications because the socket's buffer was full.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>

#include "platform/kiln/EventLoop.h"
#include "platform/linux/Rtnetlink.h"

namespace LinuxNet {

class LinkWatcher {
 public:
  // `onLink(name, ifIndex, present, operState, mtu)` runs for every device of the first listing
  // and then for every device added, changed, renamed (the old name gone, the new one
  // present) or removed, also when the kernel's notice of it was lost: a listing after the
  // loss reports the devices it no longer shows as gone. A name is present on one index at
  // a time. `operState` is the device's operational state (IF_OPER_*, after RFC 2863);
  // IF_OPER_NOTPRESENT when it is gone. `mtu` is the device's MTU (0 when it is gone).
  using LinkHandler = std::function<void(const std::string& name, int ifIndex, bool present,
                                         std::uint8_t operState, std::uint32_t mtu)>;
  // `onError(what)` runs when the kernel refuses or fails a listing, or the socket fails:
  // until a later listing succeeds, devices that went meanwhile may not be reported.
  using ErrorHandler = std::function<void(const std::string& what)>;

  // On a socket of its own (openSocket()). Failures to open, subscribe or ask for the
  // first listing raise std::system_error. Without `onError`, errors go to stderr.
  LinkWatcher(Kiln::EventLoop& loop, LinkHandler onLink, ErrorHandler onError = {});
  // On `fd`, a rtnetlink socket subscribed to link changes, which it closes when done.
  LinkWatcher(Kiln::EventLoop& loop, LinkHandler onLink, ErrorHandler onError, int fd);
  ~LinkWatcher();
  LinkWatcher(const LinkWatcher&) = delete;
  LinkWatcher& operator=(const LinkWatcher&) = delete;

  // A non-blocking rtnetlink socket subscribed to link changes; raises std::system_error.
  static int openSocket();

 private:
  bool list();
  void relist();
  void listed();
  void readable();
  void handle(const nlmsghdr& msg);
  void link(const nlmsghdr& msg);

  Kiln::EventLoop& loop_;
  LinkHandler onLink_;
  ErrorHandler onError_;
  Rtnetlink socket_;
  std::map<int, std::string> names_;  // by interface index, to notice renames
  // The listing under way: its sequence number, the indexes it showed, and whether it
  // must be done again (the kernel said it was inconsistent, or notifications were lost).
  bool listing_ = false;
  std::uint32_t listSeq_ = 0;
  std::set<int> seen_;
  bool listAgain_ = false;
};

}  // namespace LinuxNet
