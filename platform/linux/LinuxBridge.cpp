#include "platform/linux/LinuxBridge.h"

#include <linux/if_bridge.h>
#include <linux/if_link.h>
#include <linux/neighbour.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <cstring>

namespace LinuxNet {

void BridgeReader::message(const nlmsghdr& msg) {
  if (msg.nlmsg_type == RTM_NEWLINK) link(msg);
  if (msg.nlmsg_type == RTM_NEWNEIGH) neigh(msg);
}

void BridgeReader::link(const nlmsghdr& msg) {
  if (msg.nlmsg_len < NLMSG_LENGTH(sizeof(ifinfomsg))) return;
  const auto* info = static_cast<const ifinfomsg*>(NLMSG_DATA(&msg));
  const Attrs a = Attrs::after(msg, sizeof(ifinfomsg));
  Link& l = links_[info->ifi_index];
  if (a.find(IFLA_IFNAME)) l.name = a.text(IFLA_IFNAME);
  if (auto master = a.scalar<std::uint32_t>(IFLA_MASTER)) l.master = int(*master);
  if (auto m = a.mac(IFLA_ADDRESS)) l.mac = m;
  const Attrs linkInfo = a.nested(IFLA_LINKINFO);
  if (linkInfo.find(IFLA_INFO_KIND)) l.kind = linkInfo.text(IFLA_INFO_KIND);
  if (l.kind == "bridge" && linkInfo.find(IFLA_INFO_DATA)) {
    l.vlanFiltering = linkInfo.nested(IFLA_INFO_DATA).scalar<std::uint8_t>(IFLA_BR_VLAN_FILTERING).value_or(0) != 0;
  }
  if (info->ifi_family != AF_BRIDGE) return;
  const rtattr* bridgeAttrs = a.find(IFLA_AF_SPEC);
  if (!bridgeAttrs) return;
  // Each VLAN is an attribute of its own, or a range of two (begin and end) when the
  // kernel compresses them.
  l.pvid = 0;
  l.vlans.clear();
  std::uint16_t rangeBegin = 0;
  int left = int(RTA_PAYLOAD(bridgeAttrs));
  for (auto* v = static_cast<const rtattr*>(RTA_DATA(bridgeAttrs)); RTA_OK(v, left); v = RTA_NEXT(v, left)) {
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
  const Attrs a = Attrs::after(msg, sizeof(ndmsg));
  const auto master = a.scalar<std::uint32_t>(NDA_MASTER);
  if (!master) return;
  auto address = a.mac(NDA_LLADDR);
  if (!address || !address->isUnicast() || address->isZero()) return;
  fdb_.push_back({*address, nd->ndm_ifindex, a.scalar<std::uint16_t>(NDA_VLAN).value_or(0),
                  (nd->ndm_state & NUD_NOARP) != 0, int(*master)});
}

BridgeSnapshot BridgeReader::snapshot() const {
  BridgeSnapshot s;
  for (const auto& [index, l] : links_) {
    if (l.name != name_ || l.kind != "bridge") continue;
    s.present = true;
    s.ifIndex = index;
    s.mac = l.mac.value_or(Lumen::EthAddr());
    s.vlanFiltering = l.vlanFiltering;
  }
  if (!s.present) return s;
  for (const auto& [index, l] : links_) {
    if (index == s.ifIndex || l.master != s.ifIndex || l.name.empty()) continue;
    s.ports[index] = BridgePort{l.name, l.kind, l.pvid, l.vlans};
  }
  for (const auto& entry : fdb_) {
    if (entry.master == s.ifIndex && s.ports.contains(entry.ifIndex)) s.fdb.push_back(entry);
  }
  return s;
}

// ---- BridgeWatcher

BridgeWatcher::BridgeWatcher(Kiln::EventLoop& loop, std::string bridge, ChangeHandler onChange,
                             ErrorHandler onError)
    : loop_(loop),
      bridge_(std::move(bridge)),
      onChange_(std::move(onChange)),
      onError_(std::move(onError)),
      events_(Rtnetlink::open(RTMGRP_LINK | RTMGRP_NEIGH)),
      query_(Rtnetlink::open(0, true)) {
  read();
  loop_.fdIs(events_.fd(), EPOLLIN, [this](std::uint32_t) { readable(); });
}

BridgeWatcher::~BridgeWatcher() { loop_.fdDel(events_.fd()); }

void BridgeWatcher::readable() {
  // What changed matters not: the bridge is read whole. Every notice waiting is drained
  // first, so that a burst of changes costs one reading; a lost notice (ENOBUFS) asks for
  // one too.
  bool changed = false;
  const int err = events_.drain(
      [&](const nlmsghdr& msg) {
        if (msg.nlmsg_type == RTM_NEWLINK || msg.nlmsg_type == RTM_DELLINK) changed = true;
        if ((msg.nlmsg_type == RTM_NEWNEIGH || msg.nlmsg_type == RTM_DELNEIGH) &&
            msg.nlmsg_len >= NLMSG_LENGTH(sizeof(ndmsg)) &&
            static_cast<const ndmsg*>(NLMSG_DATA(&msg))->ndm_family == AF_BRIDGE) {
          changed = true;
        }
      },
      [&] { changed = true; });
  if (err) onError_("netlink notices of the bridge " + bridge_ + ": " + std::strerror(err));
  if (!changed) return;
  try {
    read();
  } catch (const std::exception& e) {
    onError_(e.what());
  }
}

void BridgeWatcher::read() {
  BridgeReader reader(bridge_);
  dump(reader, RTM_GETLINK, AF_UNSPEC);
  dump(reader, RTM_GETLINK, AF_BRIDGE, RTEXT_FILTER_BRVLAN);
  dump(reader, RTM_GETNEIGH, AF_BRIDGE);
  BridgeSnapshot now = reader.snapshot();
  if (haveRead_ && now == last_) return;
  haveRead_ = true;
  last_ = std::move(now);
  onChange_(last_);
}

void BridgeWatcher::dump(BridgeReader& reader, std::uint16_t type, std::uint8_t family, std::uint32_t extMask) {
  for (int attempt = 0;; ++attempt) {
    BridgeReader partial = reader;
    const bool interrupted = query_.dump(type, family, ++seq_, extMask,
                                         [&](const nlmsghdr& msg) { partial.message(msg); }, "the bridge " + bridge_);
    // The kernel changed what it listed meanwhile: the listing may be torn; read it again.
    if (!interrupted || attempt >= 3) {
      reader = std::move(partial);
      return;
    }
  }
}

}  // namespace LinuxNet
