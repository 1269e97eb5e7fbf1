// A Linux bridge read from rtnetlink messages laid out as the kernel sends them (links of
// both families, bridge VLAN information, forwarding entries), and the interfaces its ports
// become. The VLAN-filtering bridge is only tested here: the test machines' kernels do not
// filter VLANs on bridges.

#include <gtest/gtest.h>
#include <linux/if_bridge.h>
#include <linux/if_link.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "platform/linux/LinuxBridge.h"
#include "platform/linux/PortNames.h"

namespace {

using Lumen::EthAddr;
using Lumen::IntfId;
using LinuxNet::BridgePort;

// One netlink message: a header, a family header, attributes (nested ones closed by end()).
class Msg {
 public:
  Msg(std::uint16_t type, const void* family, std::size_t size) {
    bytes_.resize(NLMSG_LENGTH(size));
    auto* h = reinterpret_cast<nlmsghdr*>(bytes_.data());
    h->nlmsg_type = type;
    std::memcpy(NLMSG_DATA(h), family, size);
    bytes_.resize(NLMSG_ALIGN(bytes_.size()));
  }
  Msg& attr(std::uint16_t type, const void* data, std::size_t size) {
    const std::size_t at = bytes_.size();
    bytes_.resize(at + RTA_ALIGN(RTA_LENGTH(size)));
    auto* a = reinterpret_cast<rtattr*>(bytes_.data() + at);
    a->rta_type = type;
    a->rta_len = std::uint16_t(RTA_LENGTH(size));
    if (size) std::memcpy(RTA_DATA(a), data, size);
    return *this;
  }
  template <class T>
  Msg& attr(std::uint16_t type, T value) { return attr(type, &value, sizeof value); }
  Msg& text(std::uint16_t type, const std::string& s) { return attr(type, s.c_str(), s.size() + 1); }
  Msg& mac(std::uint16_t type, const char* text) {
    std::uint8_t bytes[6];
    for (int i = 0; i < 6; ++i) bytes[i] = std::uint8_t(std::stoul(std::string(text + i * 3, 2), nullptr, 16));
    return attr(type, bytes, 6);
  }
  Msg& begin(std::uint16_t type) {
    open_.push_back(bytes_.size());
    return attr(type, nullptr, 0);
  }
  Msg& end() {
    auto* a = reinterpret_cast<rtattr*>(bytes_.data() + open_.back());
    a->rta_len = std::uint16_t(bytes_.size() - open_.back());
    open_.pop_back();
    return *this;
  }
  Msg& vlan(std::uint16_t vid, std::uint16_t flags) { return attr(IFLA_BRIDGE_VLAN_INFO, bridge_vlan_info{flags, vid}); }
  const nlmsghdr& header() {
    auto* h = reinterpret_cast<nlmsghdr*>(bytes_.data());
    h->nlmsg_len = std::uint32_t(bytes_.size());
    return *h;
  }

 private:
  std::vector<char> bytes_;
  std::vector<std::size_t> open_;
};

Msg link(int family, int index, const std::string& name, int master = 0) {
  ifinfomsg info{};
  info.ifi_family = std::uint8_t(family);
  info.ifi_index = index;
  Msg m(RTM_NEWLINK, &info, sizeof info);
  m.text(IFLA_IFNAME, name);
  if (master) m.attr<std::uint32_t>(IFLA_MASTER, std::uint32_t(master));
  return m;
}

Msg bridgeLink(int index, const std::string& name, bool vlanFiltering) {
  Msg m = link(AF_UNSPEC, index, name);
  m.mac(IFLA_ADDRESS, "02:00:00:00:0b:01").begin(IFLA_LINKINFO).text(IFLA_INFO_KIND, "bridge");
  return m.begin(IFLA_INFO_DATA).attr<std::uint8_t>(IFLA_BR_VLAN_FILTERING, vlanFiltering).end().end();
}

Msg fdb(int index, const char* mac, std::uint16_t vlan, std::uint16_t state, std::uint8_t flags = 0, int master = 1) {
  ndmsg nd{};
  nd.ndm_family = AF_BRIDGE;
  nd.ndm_ifindex = index;
  nd.ndm_state = state;
  nd.ndm_flags = flags;
  Msg m(RTM_NEWNEIGH, &nd, sizeof nd);
  m.mac(NDA_LLADDR, mac);
  if (master) m.attr<std::uint32_t>(NDA_MASTER, std::uint32_t(master));
  if (vlan) m.attr<std::uint16_t>(NDA_VLAN, vlan);
  return m;
}

constexpr std::uint16_t pvid = BRIDGE_VLAN_INFO_PVID, untagged = BRIDGE_VLAN_INFO_UNTAGGED;

TEST(LinuxBridge, AVlanFilteringBridgeGivesItsPortsVlansAndForwardingEntries) {
  LinuxNet::BridgeReader reader("br0");
  // Forwarding entries before the links they name: the reader takes any order.
  for (Msg m : {fdb(3, "02:00:00:00:00:0b", 20, NUD_REACHABLE),  // learned on the trunk
                fdb(2, "02:00:00:00:00:0a", 10, NUD_NOARP),      // static on the access port
                fdb(2, "02:00:00:00:00:a2", 10, NUD_PERMANENT),  // the port's own address
                fdb(2, "02:00:00:00:00:d1", 0, NUD_REACHABLE),   // in no VLAN
                fdb(2, "02:00:00:00:00:d2", 10, NUD_NOARP, NTF_SELF, 0),  // the device's own table
                fdb(9, "02:00:00:00:00:d3", 10, NUD_REACHABLE, 0, 8),     // a port of another bridge
                bridgeLink(1, "br0", true), bridgeLink(8, "br1", true),
                link(AF_UNSPEC, 2, "swp1", 1), link(AF_UNSPEC, 3, "swp2", 1), link(AF_UNSPEC, 9, "swp9", 8),
                link(AF_UNSPEC, 4, "bond0", 1).begin(IFLA_LINKINFO).text(IFLA_INFO_KIND, "bond").end(),
                link(AF_BRIDGE, 2, "swp1", 1).begin(IFLA_AF_SPEC).vlan(10, pvid | untagged).end(),
                link(AF_BRIDGE, 3, "swp2", 1).begin(IFLA_AF_SPEC).vlan(10, pvid | untagged).vlan(20, 0)
                    .vlan(30, BRIDGE_VLAN_INFO_RANGE_BEGIN).vlan(32, BRIDGE_VLAN_INFO_RANGE_END).vlan(40, untagged).end()}) {
    reader.message(m.header());
  }

  const auto s = reader.snapshot();
  ASSERT_TRUE(s.present && s.vlanFiltering);
  const auto mac = [](const char* s) { return *EthAddr::fromString(s); };
  EXPECT_EQ(s.mac, mac("02:00:00:00:0b:01"));
  EXPECT_EQ(s.ports, (std::map<int, BridgePort>{
                         {2, {"swp1", "", 10, {{10, true}}}},
                         {3, {"swp2", "", 10, {{10, true}, {20, false}, {30, false}, {31, false}, {32, false}, {40, true}}}},
                         {4, {"bond0", "bond", 0, {}}}}));
  EXPECT_EQ(s.fdb, (std::vector<LinuxNet::FdbEntry>{{mac("02:00:00:00:00:0b"), 3, 20, false, 1},
                                                    {mac("02:00:00:00:00:0a"), 2, 10, true, 1},
                                                    {mac("02:00:00:00:00:d1"), 2, 0, false, 1}}));
}

// Readings of one bridge in turn, each named after the one before: "index:device[/kind]"
// per port, and what each port became in the order of their indexes.
TEST(LinuxBridge, EveryPortGetsAnInterfaceAndKeepsIt) {
  const std::map<std::string, IntfId> none, file = {{"bond0", IntfId("Po1")}, {"uplink", IntfId("Et1")}};
  const struct {
    const char* ports;
    const std::map<std::string, IntfId>& fixed;
    const char* names;
    std::size_t notes;
  } readings[] = {
      // The rule where it names a port; ports it cannot name in the order of their names.
      {"1:swp3 2:veth-12 3:pb 4:pa", none, "swp3=Ethernet3 veth-12=Ethernet12 pb=Ethernet2 pa=Ethernet1", 4},
      // A port that comes finds its interface taken: the others keep theirs.
      {"1:swp3 2:veth-12 3:pb 4:pa 5:swp1", none, "swp3=Ethernet3 veth-12=Ethernet12 pb=Ethernet2 pa=Ethernet1 swp1=Ethernet4", 1},
      {"1:swp3 5:swp1", none, "swp3=Ethernet3 swp1=Ethernet4", 0},
      {"1:swp3 5:swp1 6:pa", none, "swp3=Ethernet3 swp1=Ethernet4 pa=Ethernet1", 1},
      {"", none, "", 0},
      // Predictable names: a 0 is no port number; two that claim Ethernet1, the first has it.
      {"1:enp4s1 2:enp3s1 3:enp3s0 4:p007", none, "enp4s1=Ethernet3 enp3s1=Ethernet1 enp3s0=Ethernet2 p007=Ethernet4", 4},
      {"", none, "", 0},
      // Bonds are port-channels, numbered apart from the Ethernet ports.
      {"1:bond1/bond 2:bond0/bond 3:swp1", none, "bond1=Port-Channel1 bond0=Port-Channel2 swp1=Ethernet1", 3},
      // The file wins, also with the interface of a port that is not there.
      {"1:bond1/bond 2:bond0/bond 3:swp1", file, "bond1=Port-Channel2 bond0=Port-Channel1 swp1=Ethernet2", 3},
  };
  std::map<int, IntfId> intfs;
  for (const auto& r : readings) {
    std::map<int, BridgePort> ports;
    std::istringstream in(r.ports);
    for (std::string word; in >> word;) {
      const auto colon = word.find(':'), slash = word.find('/');
      ports[std::stoi(word)].device = word.substr(colon + 1, slash - colon - 1);
      if (slash != std::string::npos) ports[std::stoi(word)].kind = word.substr(slash + 1);
    }
    std::vector<std::string> notes;
    intfs = LinuxNet::portIntfs(ports, r.fixed, intfs, &notes);
    std::string names;
    for (const auto& [index, intf] : intfs) names += (names.empty() ? "" : " ") + ports[index].device + "=" + intf.stringValue();
    EXPECT_EQ(names, r.names) << r.ports;
    EXPECT_EQ(notes.size(), r.notes) << r.ports << ": " << ::testing::PrintToString(notes);
  }
}

}  // namespace
