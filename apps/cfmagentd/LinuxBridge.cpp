#include "apps/cfmagentd/LinuxBridge.h"

#include <linux/if_bridge.h>
#include <linux/if_link.h>
#include <linux/neighbour.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <system_error>

namespace Runner {

namespace {

[[noreturn]] void fail(int err, const std::string& what) {
  throw std::system_error(err, std::generic_category(), what);
}

// The attributes of one level, by type; nested ones are read with attrs() again.
std::map<unsigned, const rtattr*> attrs(const rtattr* first, int left) {
  std::map<unsigned, const rtattr*> out;
  for (auto* a = first; RTA_OK(a, left); a = RTA_NEXT(a, left)) out[a->rta_type & NLA_TYPE_MASK] = a;
  return out;
}

std::map<unsigned, const rtattr*> nested(const rtattr* parent) {
  return attrs(static_cast<const rtattr*>(RTA_DATA(parent)), int(RTA_PAYLOAD(parent)));
}

template <class T>
std::optional<T> scalar(const std::map<unsigned, const rtattr*>& a, unsigned type) {
  auto it = a.find(type);
  if (it == a.end() || RTA_PAYLOAD(it->second) < sizeof(T)) return std::nullopt;
  T value;
  std::memcpy(&value, RTA_DATA(it->second), sizeof value);
  return value;
}

std::string text(const rtattr* a) {
  const auto* data = static_cast<const char*>(RTA_DATA(a));
  return std::string(data, strnlen(data, RTA_PAYLOAD(a)));
}

std::optional<EthAddr> mac(const std::map<unsigned, const rtattr*>& a, unsigned type) {
  auto it = a.find(type);
  if (it == a.end() || RTA_PAYLOAD(it->second) != 6) return std::nullopt;
  return EthAddr::fromBytes(static_cast<const std::uint8_t*>(RTA_DATA(it->second)));
}

}  // namespace

void BridgeReader::message(const nlmsghdr& msg) {
  if (msg.nlmsg_type == RTM_NEWLINK) link(msg);
  if (msg.nlmsg_type == RTM_NEWNEIGH) neigh(msg);
}

void BridgeReader::link(const nlmsghdr& msg) {
  if (msg.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
  const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(&msg));
  const auto a = attrs(IFLA_RTA(info), int(IFLA_PAYLOAD(&msg)));
  Link& l = links_[info->ifi_index];
  if (auto it = a.find(IFLA_IFNAME); it != a.end()) l.name = text(it->second);
  if (auto master = scalar<std::uint32_t>(a, IFLA_MASTER)) l.master = int(*master);
  if (auto m = mac(a, IFLA_ADDRESS)) l.mac = m;
  if (auto it = a.find(IFLA_LINKINFO); it != a.end()) {
    const auto info = nested(it->second);
    if (auto kind = info.find(IFLA_INFO_KIND); kind != info.end() && text(kind->second) == "bridge") {
      l.isBridge = true;
      if (auto data = info.find(IFLA_INFO_DATA); data != info.end()) {
        l.vlanFiltering = scalar<std::uint8_t>(nested(data->second), IFLA_BR_VLAN_FILTERING).value_or(0) != 0;
      }
    }
  }
  if (info->ifi_family != AF_BRIDGE) return;
  auto bridgeAttrs = a.find(IFLA_AF_SPEC);
  if (bridgeAttrs == a.end()) return;
  // Each VLAN is an attribute of its own, or a range of two (begin and end) when the
  // kernel compresses them.
  l.hasVlanInfo = true;
  l.pvid = 0;
  l.vlans.clear();
  std::uint16_t rangeBegin = 0;
  int left = int(RTA_PAYLOAD(bridgeAttrs->second));
  for (auto* v = static_cast<const rtattr*>(RTA_DATA(bridgeAttrs->second)); RTA_OK(v, left); v = RTA_NEXT(v, left)) {
    if ((v->rta_type & NLA_TYPE_MASK) != IFLA_BRIDGE_VLAN_INFO || RTA_PAYLOAD(v) < sizeof(bridge_vlan_info)) continue;
    bridge_vlan_info vi;
    std::memcpy(&vi, RTA_DATA(v), sizeof vi);
    if (vi.vid < 1 || vi.vid > 4094) continue;
    if (vi.flags & BRIDGE_VLAN_INFO_RANGE_BEGIN) {
      rangeBegin = vi.vid;
      continue;
    }
    const std::uint16_t from = (vi.flags & BRIDGE_VLAN_INFO_RANGE_END) && rangeBegin ? rangeBegin : vi.vid;
    rangeBegin = 0;
    for (std::uint16_t vid = from; vid <= vi.vid; ++vid) {
      l.vlans[vid] = (vi.flags & BRIDGE_VLAN_INFO_UNTAGGED) != 0;
    }
    if (vi.flags & BRIDGE_VLAN_INFO_PVID) l.pvid = vi.vid;
  }
}

void BridgeReader::neigh(const nlmsghdr& msg) {
  if (msg.nlmsg_len < NLMSG_LENGTH(sizeof(ndmsg))) return;
  const auto* nd = static_cast<const ndmsg*>(NLMSG_DATA(&msg));
  // The bridge's own entries (they name it as NDA_MASTER), not those a port device keeps
  // for itself (NTF_SELF).
  if (nd->ndm_family != AF_BRIDGE || (nd->ndm_flags & NTF_SELF)) return;
  // Permanent entries are the bridge's and its ports' own addresses: frames to them end
  // in this host, they locate no other station.
  if (nd->ndm_state & NUD_PERMANENT) return;
  const auto a = attrs(reinterpret_cast<const rtattr*>(reinterpret_cast<const char*>(nd) + NLMSG_ALIGN(sizeof(ndmsg))),
                       int(msg.nlmsg_len) - int(NLMSG_LENGTH(sizeof(ndmsg))));
  const auto master = scalar<std::uint32_t>(a, NDA_MASTER);
  if (!master) return;
  auto address = mac(a, NDA_LLADDR);
  if (!address || !address->isUnicast() || address->isZero()) return;
  fdb_.push_back({*address, nd->ndm_ifindex, scalar<std::uint16_t>(a, NDA_VLAN).value_or(0),
                  (nd->ndm_state & NUD_NOARP) != 0, int(*master)});
}

BridgeSnapshot BridgeReader::snapshot() const {
  BridgeSnapshot s;
  for (const auto& [index, l] : links_) {
    if (l.name != name_ || !l.isBridge) continue;
    s.present = true;
    s.ifIndex = index;
    s.mac = l.mac.value_or(EthAddr());
    s.vlanFiltering = l.vlanFiltering;
  }
  if (!s.present) return s;
  for (const auto& [index, l] : links_) {
    if (index == s.ifIndex || l.master != s.ifIndex || l.name.empty()) continue;
    s.ports[index] = BridgePort{l.name, l.pvid, l.vlans};
  }
  for (const auto& entry : fdb_) {
    if (entry.master == s.ifIndex && s.ports.contains(entry.ifIndex)) s.fdb.push_back(entry);
  }
  return s;
}

std::optional<IntfId> portIntfByName(const std::string& device) {
  std::size_t digits = device.size();
  while (digits > 0 && device[digits - 1] >= '0' && device[digits - 1] <= '9') --digits;
  const std::string number = device.substr(digits);
  if (number.empty() || number.size() > 5 || number[0] == '0') return std::nullopt;
  try {
    return IntfId("Ethernet" + number);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

RunnerConfig bridgedConfig(const RunnerConfig& fileConfig, const BridgeSnapshot& bridge,
                           std::vector<std::string>* notes) {
  RunnerConfig c = fileConfig;
  c.interfaces.clear();
  c.switchports.clear();
  c.vlans.clear();
  c.bridgeMac = bridge.present ? bridge.mac : EthAddr();
  auto note = [&](const std::string& line) {
    if (notes) notes->push_back(line);
  };
  if (!bridge.present) return c;

  // Named ports first, so that a port the file names keeps its interface whatever other
  // ports are called; then the rest in the order of their names.
  std::map<std::string, int> byName;
  for (const auto& [index, port] : bridge.ports) byName[port.device] = index;
  std::map<int, IntfId> intfOf;
  std::map<IntfId, std::string> taken;
  for (int pass = 0; pass < 2; ++pass) {
    for (const auto& [device, index] : byName) {
      auto named = c.bridgePorts.find(device);
      if ((pass == 0) != (named != c.bridgePorts.end())) continue;
      const auto intf = pass == 0 ? std::optional<IntfId>(named->second) : portIntfByName(device);
      if (!intf) {
        note("port " + device + " left out: its name does not end in a port number; name it in bridgePorts");
        continue;
      }
      if (auto [it, isNew] = taken.try_emplace(*intf, device); !isNew) {
        note("port " + device + " left out: " + intf->stringValue() + " is already the port " + it->second +
             "; name it in bridgePorts");
        continue;
      }
      intfOf[index] = *intf;
      c.interfaces[*intf] = device;
    }
  }

  for (const auto& [index, intf] : intfOf) {
    const BridgePort& port = bridge.ports.at(index);
    Switchport& sp = c.switchports[intf];
    if (!bridge.vlanFiltering) {
      sp.mode = Bridging::switchIntfModeAccess;
      sp.portVlan = c.bridgeVlan;
      continue;
    }
    const bool accessOnly = port.vlans.size() == 1 && port.vlans.contains(port.pvid) && port.vlans.at(port.pvid);
    sp.mode = accessOnly || port.vlans.empty() ? Bridging::switchIntfModeAccess : Bridging::switchIntfModeTrunk;
    sp.portVlan = Lumen::VlanIdOrNone(port.pvid);
    for (const auto& [vid, untagged] : port.vlans) {
      c.vlans[Lumen::VlanId(vid)];
      // A VLAN the bridge sends tagged is an identity entry; untagged ones have none.
      if (!accessOnly && !untagged) sp.egressVlanXlate[{vid, 0}] = Bridging::VlanXlateMapping{vid, 0};
    }
  }
  if (!bridge.vlanFiltering) c.vlans[c.bridgeVlan];

  for (const auto& entry : bridge.fdb) {
    auto intf = intfOf.find(entry.ifIndex);
    if (intf == intfOf.end()) continue;
    Lumen::VlanId vlan = c.bridgeVlan;
    if (bridge.vlanFiltering) {
      if (entry.vlan < 1 || entry.vlan > 4094) continue;  // matches no VLAN's frames
      vlan = Lumen::VlanId(entry.vlan);
    }
    Vlan& v = c.vlans[vlan];
    (entry.isStatic ? v.configuredHosts : v.learnedHosts)[entry.mac] = intf->second;
  }
  return c;
}

// ---- BridgeWatcher

BridgeWatcher::BridgeWatcher(Kiln::EventLoop& loop, std::string bridge, ChangeHandler onChange,
                             ErrorHandler onError)
    : loop_(loop), bridge_(std::move(bridge)), onChange_(std::move(onChange)), onError_(std::move(onError)) {
  events_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
  query_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  sockaddr_nl addr{};
  addr.nl_family = AF_NETLINK;
  addr.nl_groups = RTMGRP_LINK | RTMGRP_NEIGH;
  if (events_ < 0 || query_ < 0 || ::bind(events_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    const int e = errno;
    if (events_ >= 0) ::close(events_);
    if (query_ >= 0) ::close(query_);
    fail(e, "netlink socket for the bridge " + bridge_);
  }
  // A dump that ends in an error reports it rather than leaving us waiting.
  const int one = 1;
  ::setsockopt(query_, SOL_NETLINK, NETLINK_EXT_ACK, &one, sizeof one);
  try {
    read();
  } catch (...) {
    ::close(events_);
    ::close(query_);
    throw;
  }
  loop_.fdIs(events_, EPOLLIN, [this](std::uint32_t) { readable(); });
}

BridgeWatcher::~BridgeWatcher() {
  loop_.fdDel(events_);
  ::close(events_);
  ::close(query_);
}

void BridgeWatcher::readable() {
  // What changed matters not: the bridge is read whole. Every notice waiting is drained
  // first, so that a burst of changes costs one reading; a lost notice (ENOBUFS) asks for
  // one too.
  alignas(nlmsghdr) char buffer[16384];
  bool changed = false;
  for (;;) {
    const ssize_t n = ::recv(events_, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && errno == ENOBUFS) {
      changed = true;
      continue;
    }
    if (n <= 0) break;
    std::size_t left = std::size_t(n);
    for (auto* msg = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(msg, left); msg = NLMSG_NEXT(msg, left)) {
      if (msg->nlmsg_type == RTM_NEWLINK || msg->nlmsg_type == RTM_DELLINK) changed = true;
      if ((msg->nlmsg_type == RTM_NEWNEIGH || msg->nlmsg_type == RTM_DELNEIGH) &&
          msg->nlmsg_len >= NLMSG_LENGTH(sizeof(ndmsg)) &&
          static_cast<const ndmsg*>(NLMSG_DATA(msg))->ndm_family == AF_BRIDGE) {
        changed = true;
      }
    }
  }
  if (!changed) return;
  try {
    read();
  } catch (const std::exception& e) {
    onError_(e.what());
  }
}

void BridgeWatcher::read() {
  BridgeReader reader(bridge_);
  dump(reader, RTM_GETLINK, AF_UNSPEC, false);
  dump(reader, RTM_GETLINK, AF_BRIDGE, true);
  dump(reader, RTM_GETNEIGH, AF_BRIDGE, false);
  BridgeSnapshot now = reader.snapshot();
  if (haveRead_ && now == last_) return;
  haveRead_ = true;
  last_ = std::move(now);
  onChange_(last_);
}

void BridgeWatcher::dump(BridgeReader& reader, std::uint16_t type, int family, bool vlanInfo) {
  for (int attempt = 0;; ++attempt) {
    struct {
      nlmsghdr header;
      ifinfomsg info;
      rtattr extMaskAttr;
      std::uint32_t extMask;
    } req{};
    std::size_t size;
    req.header.nlmsg_type = type;
    req.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    req.header.nlmsg_seq = ++seq_;
    if (type == RTM_GETNEIGH) {
      // A bare ndmsg: the kernel reads a request of exactly that size as one.
      auto* nd = reinterpret_cast<ndmsg*>(&req.info);
      nd->ndm_family = std::uint8_t(family);
      size = NLMSG_LENGTH(sizeof(ndmsg));
    } else {
      req.info.ifi_family = std::uint8_t(family);
      size = NLMSG_LENGTH(sizeof(ifinfomsg));
      if (vlanInfo) {
        req.extMaskAttr.rta_type = IFLA_EXT_MASK;
        req.extMaskAttr.rta_len = RTA_LENGTH(sizeof(std::uint32_t));
        req.extMask = RTEXT_FILTER_BRVLAN;
        size = sizeof req;
      }
    }
    req.header.nlmsg_len = std::uint32_t(size);
    if (::send(query_, &req, size, 0) < 0) fail(errno, "netlink dump request");

    BridgeReader partial = reader;
    bool interrupted = false;
    alignas(nlmsghdr) char buffer[32768];
    for (bool done = false; !done;) {
      const ssize_t n = ::recv(query_, buffer, sizeof buffer, 0);
      if (n < 0) {
        if (errno == EINTR) continue;
        fail(errno, "netlink dump");
      }
      std::size_t left = std::size_t(n);
      for (auto* msg = reinterpret_cast<nlmsghdr*>(buffer); NLMSG_OK(msg, left); msg = NLMSG_NEXT(msg, left)) {
        if (msg->nlmsg_seq != seq_) continue;
        if (msg->nlmsg_flags & NLM_F_DUMP_INTR) interrupted = true;
        if (msg->nlmsg_type == NLMSG_ERROR || msg->nlmsg_type == NLMSG_DONE) {
          int error = 0;
          if (msg->nlmsg_len >= NLMSG_LENGTH(sizeof error)) std::memcpy(&error, NLMSG_DATA(msg), sizeof error);
          if (error < 0) fail(-error, "netlink dump of the bridge " + bridge_);
          done = true;
          break;
        }
        partial.message(*msg);
      }
    }
    // The kernel changed what it listed meanwhile: the listing may be torn; read it again.
    if (!interrupted || attempt >= 3) {
      reader = std::move(partial);
      return;
    }
  }
}

}  // namespace Runner
