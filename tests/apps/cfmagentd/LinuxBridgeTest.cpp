// A Linux bridge read from rtnetlink messages laid out as the kernel sends them (links of
// both families, bridge VLAN information, forwarding entries), and the configuration the
// runner makes of it. The VLAN-filtering bridge is only tested here: the test machines'
// kernels do not filter VLANs on bridges.

#include <gtest/gtest.h>
#include <linux/if_bridge.h>
#include <linux/if_link.h>
#include <linux/neighbour.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>

#include <cstring>
#include <string>
#include <vector>

#include "apps/cfmagentd/LinuxBridge.h"

namespace {

using Lumen::EthAddr;
using Lumen::IntfId;
using Lumen::VlanId;

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

Runner::RunnerConfig bridgeFile(std::map<std::string, IntfId> ports = {}) {
  Runner::RunnerConfig c = Runner::parseText("{}", "test.json", "br0");
  c.bridgePorts = std::move(ports);
  return c;
}

constexpr std::uint16_t pvid = BRIDGE_VLAN_INFO_PVID, untagged = BRIDGE_VLAN_INFO_UNTAGGED;

TEST(LinuxBridge, AVlanFilteringBridgeGivesModesVlansAndHostsOfItsPorts) {
  Runner::BridgeReader reader("br0");
  // Forwarding entries before the links they name: the reader takes any order.
  for (Msg m : {fdb(3, "02:00:00:00:00:0b", 20, NUD_REACHABLE),  // learned on the trunk
                fdb(2, "02:00:00:00:00:0a", 10, NUD_NOARP),      // static on the access port
                fdb(2, "02:00:00:00:00:a2", 10, NUD_PERMANENT),  // the port's own address
                fdb(2, "02:00:00:00:00:d1", 0, NUD_REACHABLE),   // in no VLAN
                fdb(2, "02:00:00:00:00:d2", 10, NUD_NOARP, NTF_SELF, 0),  // the device's own table
                fdb(9, "02:00:00:00:00:d3", 10, NUD_REACHABLE, 0, 8),     // a port of another bridge
                bridgeLink(1, "br0", true), bridgeLink(8, "br1", true),
                link(AF_UNSPEC, 2, "swp1", 1), link(AF_UNSPEC, 3, "swp2", 1), link(AF_UNSPEC, 9, "swp9", 8),
                link(AF_BRIDGE, 2, "swp1", 1).begin(IFLA_AF_SPEC).vlan(10, pvid | untagged).end(),
                link(AF_BRIDGE, 3, "swp2", 1).begin(IFLA_AF_SPEC).vlan(10, pvid | untagged).vlan(20, 0)
                    .vlan(30, BRIDGE_VLAN_INFO_RANGE_BEGIN).vlan(32, BRIDGE_VLAN_INFO_RANGE_END).vlan(40, untagged).end()}) {
    reader.message(m.header());
  }

  const auto snapshot = reader.snapshot();
  ASSERT_TRUE(snapshot.present && snapshot.vlanFiltering);
  const auto c = Runner::bridgedConfig(bridgeFile(), snapshot);
  const IntfId et1("Ethernet1"), et2("Ethernet2");
  const auto mac = [](const char* s) { return *EthAddr::fromString(s); };
  EXPECT_EQ(c.bridgeMac, mac("02:00:00:00:0b:01"));
  EXPECT_EQ(c.interfaces, (std::map<IntfId, std::string>{{et1, "swp1"}, {et2, "swp2"}}));
  // Tagged VLANs leave tagged (identity entries); 10 and 40 leave untagged.
  const auto same = [](std::uint16_t v) { return std::pair(Bridging::VlanXlateKey{v, 0}, Bridging::VlanXlateMapping{v, 0}); };
  EXPECT_EQ(c.switchports, (std::map<IntfId, Runner::Switchport>{
                               {et1, {Bridging::switchIntfModeAccess, Lumen::VlanIdOrNone(10), 0, {}, {}}},
                               {et2, {Bridging::switchIntfModeTrunk, Lumen::VlanIdOrNone(10), 0, {},
                                      {same(20), same(30), same(31), same(32)}}}}));
  EXPECT_EQ(c.vlans, (std::map<VlanId, Runner::Vlan>{{VlanId(10), {{{mac("02:00:00:00:00:0a"), et1}}, {}}},
                                                     {VlanId(20), {{}, {{mac("02:00:00:00:00:0b"), et2}}}},
                                                     {VlanId(30), {}}, {VlanId(31), {}}, {VlanId(32), {}},
                                                     {VlanId(40), {}}}));
}

TEST(LinuxBridge, PortNamesFollowTheRuleUnlessTheFileNamesThem) {
  for (const auto& [device, intf] : std::vector<std::pair<std::string, std::string>>{
           {"swp3", "Ethernet3"}, {"veth-12", "Ethernet12"}, {"eth0", ""}, {"br-a", ""}, {"p007", ""}}) {
    const auto got = Runner::portIntfByName(device);
    EXPECT_EQ(got ? got->stringValue() : "", intf) << device;
  }
  // a1 and b1 both claim Ethernet1: the first by name keeps it unless the file decides.
  Runner::BridgeSnapshot s;
  s.present = true;
  s.ifIndex = 1;
  s.ports = {{2, {"b1", 0, {}}}, {3, {"a1", 0, {}}}, {4, {"c1", 0, {}}}};
  std::vector<std::string> notes;
  auto c = Runner::bridgedConfig(bridgeFile(), s, &notes);
  EXPECT_EQ(c.interfaces, (std::map<IntfId, std::string>{{IntfId("Ethernet1"), "a1"}}));
  EXPECT_EQ(notes.size(), 2u);
  c = Runner::bridgedConfig(bridgeFile({{"b1", IntfId("Ethernet1")}, {"a1", IntfId("Port-Channel4")}}), s);
  EXPECT_EQ(c.interfaces, (std::map<IntfId, std::string>{{IntfId("Ethernet1"), "b1"},
                                                         {IntfId("Port-Channel4"), "a1"}}));
  // A MEP may name a port that is not there yet.
  EXPECT_EQ(Runner::parseText(R"({"cfm": {"domains": [{"level": 3, "associations": [{"name": "ma",
      "localMeps": [{"id": 1, "interface": "Et5"}]}]}]}})", "b.json", "br0").domains.size(), 1u);
}

}  // namespace
