#pragma once
// The kernel's network devices as they come and go: a rtnetlink socket on the event loop,
// subscribed to link changes, plus a full listing at start.

#include <functional>
#include <map>
#include <string>

#include "platform/kiln/EventLoop.h"

namespace Runner {

class LinkWatcher {
 public:
  // `onLink(name, ifIndex, present)` runs for every device of the first listing and then
  // for every device added, renamed (the new name present) or removed. Failures to open
  // or subscribe raise std::system_error.
  using LinkHandler = std::function<void(const std::string& name, int ifIndex, bool present)>;
  LinkWatcher(Kiln::EventLoop& loop, LinkHandler onLink);
  ~LinkWatcher();
  LinkWatcher(const LinkWatcher&) = delete;
  LinkWatcher& operator=(const LinkWatcher&) = delete;

 private:
  void request();
  void readable();

  Kiln::EventLoop& loop_;
  LinkHandler onLink_;
  int fd_ = -1;
  std::map<int, std::string> names_;  // by interface index, to notice renames
};

}  // namespace Runner
