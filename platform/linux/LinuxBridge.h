#pragma once
// A Linux kernel bridge as the switch's bridging: its ports become interfaces, its address
// the bridge MAC, its VLAN settings the switchports and its forwarding database the hosts.
//
// The bridge is read whole through rtnetlink (links, bridge VLAN information, forwarding
// entries) and read again whenever the kernel announces a change of a link or a
// forwarding entry; the runner applies each reading as a difference, so only what changed
// reaches the state database. Which interface each port becomes is PortNames.h's.

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/kiln/EventLoop.h"
#include "platform/linux/Rtnetlink.h"
#include "platform/lumen/Eth.h"

namespace LinuxNet {

struct BridgePort {
  std::string device;
  std::string kind;  // the device's link kind ("veth", "bond"); "" for a plain device
  // From the bridge's VLAN information: the PVID (0 for none) and each VLAN with whether
  // it leaves untagged.
  std::uint16_t pvid = 0;
  std::map<std::uint16_t, bool> vlans;
  bool operator==(const BridgePort&) const = default;
};

struct FdbEntry {
  Lumen::EthAddr mac;
  int ifIndex = 0;
  std::uint16_t vlan = 0;  // 0: the entry has no VLAN
  bool isStatic = false;   // configured by an operator, not learned
  int master = 0;          // the bridge's interface index
  bool operator==(const FdbEntry&) const = default;
};

// One reading of a bridge.
struct BridgeSnapshot {
  bool present = false;
  int ifIndex = 0;
  Lumen::EthAddr mac;
  bool vlanFiltering = false;
  std::map<int, BridgePort> ports;  // by interface index
  std::vector<FdbEntry> fdb;
  bool operator==(const BridgeSnapshot&) const = default;
};

// Builds a snapshot of the bridge `name` from rtnetlink messages: RTM_NEWLINK of family
// AF_UNSPEC or AF_BRIDGE (the latter with VLAN information) and RTM_NEWNEIGH of family
// AF_BRIDGE, in any order.
class BridgeReader {
 public:
  explicit BridgeReader(std::string name) : name_(std::move(name)) {}
  void message(const nlmsghdr& msg);
  BridgeSnapshot snapshot() const;

 private:
  struct Link {
    std::string name;
    int master = 0;
    std::string kind;  // IFLA_INFO_KIND: "bridge", "bond", "veth", ...
    std::optional<Lumen::EthAddr> mac;
    bool vlanFiltering = false;
    std::uint16_t pvid = 0;
    std::map<std::uint16_t, bool> vlans;
  };
  void link(const nlmsghdr& msg);
  void neigh(const nlmsghdr& msg);

  std::string name_;
  std::map<int, Link> links_;
  std::vector<FdbEntry> fdb_;
};

// Reads the bridge at start and after every change the kernel announces, and hands each
// reading that differs from the last to `onChange`.
class BridgeWatcher {
 public:
  using ChangeHandler = std::function<void(const BridgeSnapshot&)>;
  using ErrorHandler = std::function<void(const std::string&)>;
  // Reads the bridge once before returning; raises std::system_error when netlink fails.
  BridgeWatcher(Kiln::EventLoop& loop, std::string bridge, ChangeHandler onChange, ErrorHandler onError);
  ~BridgeWatcher();
  BridgeWatcher(const BridgeWatcher&) = delete;
  BridgeWatcher& operator=(const BridgeWatcher&) = delete;

  const BridgeSnapshot& snapshot() const { return last_; }

 private:
  void readable();
  void read();
  void dump(BridgeReader& reader, std::uint16_t type, std::uint8_t family, std::uint32_t extMask = 0);

  Kiln::EventLoop& loop_;
  std::string bridge_;
  ChangeHandler onChange_;
  ErrorHandler onError_;
  Rtnetlink events_;  // subscribed to link and neighbour changes
  Rtnetlink query_;   // asks for the dumps
  std::uint32_t seq_ = 0;
  bool haveRead_ = false;
  BridgeSnapshot last_;
};

}  // namespace LinuxNet
