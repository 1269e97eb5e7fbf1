#pragma once
// Where CFM frames go and how a port frames them: the group addresses of each MD level,
// the VLAN tags in front of a received PDU, and the Ethernet header and tags a port's
// egress rule puts in front of a PDU it sends.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/lumen/Eth.h"
#include "platform/types/Bridging.h"
#include "platform/types/CfmTypes.h"

namespace Cfm {

// 01-80-C2-00-00-3x: IEEE 802.1ag's multicast class 1 (30 + level) takes the CCMs of a
// level, class 2 (38 + level) its LTMs.
enum class GroupClass : std::uint8_t { ccm = 0x30, ltm = 0x38 };
constexpr Lumen::EthAddr groupAddr(GroupClass groupClass, std::uint8_t level) {
  return Lumen::EthAddr(0x01, 0x80, 0xc2, 0x00, 0x00,
                        std::uint8_t(std::uint8_t(groupClass) | (level & 0x07)));
}
inline Lumen::EthAddr ccmGroupAddr(MdLevel level) { return groupAddr(GroupClass::ccm, level.value()); }
inline Lumen::EthAddr ltmGroupAddr(MdLevel level) { return groupAddr(GroupClass::ltm, level.value()); }
// Every CFM group address: each class at each level.
constexpr std::array<Lumen::EthAddr, 16> groupAddrs() {
  std::array<Lumen::EthAddr, 16> addrs{};
  for (std::uint8_t level = 0; level < 8; ++level) {
    addrs[level] = groupAddr(GroupClass::ccm, level);
    addrs[8 + level] = groupAddr(GroupClass::ltm, level);
  }
  return addrs;
}
// The class of a CFM group address, none for any other address; its level is the last
// byte's low three bits.
constexpr std::optional<GroupClass> groupClassOf(std::span<const std::uint8_t, 6> addr) {
  const auto base = groupAddr(GroupClass::ccm, 0).bytes();
  for (std::size_t i = 0; i < 5; ++i) {
    if (addr[i] != base[i]) return std::nullopt;
  }
  if ((addr[5] & 0xf0) != base[5]) return std::nullopt;
  return GroupClass(addr[5] & 0xf8);
}

// The VLAN tags of a received frame, as a bridge port reads them: an outer tag is one
// under the port's outer TPID, and only an 0x8100 outer tag announces an inner tag.
struct TagWalk {
  std::array<std::size_t, 2> at{};  // where each tag lies in the frame
  std::array<std::uint16_t, 2> vids{};
  std::uint8_t count = 0;
  bool truncated = false;       // the frame ends inside a tag the type before it announced
  std::uint16_t typeOrLen = 0;  // the type after the tags
  std::size_t end = 0;          // the offset of the first byte after the tags

  std::uint16_t outerVid() const { return count > 0 ? vids[0] : 0; }
  std::uint16_t innerVid() const { return count > 1 ? vids[1] : 0; }
};
// The tags after the Ethernet header at `ethAt` of `frame`, which holds the whole header.
TagWalk walkTags(std::span<const std::uint8_t> frame, std::size_t ethAt, std::uint16_t outerTpid);

// What a port's egress rule puts in front of a PDU: the Ethernet header and its tags.
constexpr std::size_t l2Bytes(const Bridging::EgressTags& tags) {
  return sizeof(Lumen::EthHdr) + sizeof(Lumen::Eth8021QHdr) * tags.count;
}
// Writes them to the front of `out`, which holds l2Bytes(tags): the last type is the CFM
// EtherType, each tag carries `priority` (0-7) and a DEI bit of 0.
void writeL2(std::span<std::uint8_t> out, const Lumen::EthAddr& dst, const Lumen::EthAddr& src,
             const Bridging::EgressTags& tags, std::uint8_t priority = 0);

}  // namespace Cfm
