#include "platform/cfm/L2.h"

#include "platform/kiln/Errors.h"

namespace Cfm {

static_assert(groupClassOf(groupAddr(GroupClass::ltm, 7).bytes()) == GroupClass::ltm);
static_assert(groupClassOf(groupAddr(GroupClass::ccm, 0).bytes()) == GroupClass::ccm);
static_assert(!groupClassOf(Lumen::EthAddr(0x01, 0x80, 0xc2, 0x00, 0x00, 0x40).bytes()));

TagWalk walkTags(std::span<const std::uint8_t> frame, std::size_t ethAt, std::uint16_t outerTpid) {
  const auto* eth = Lumen::overlayAt<Lumen::EthHdr>(frame, ethAt);
  KILN_ASSERT(eth != nullptr);
  TagWalk walk;
  walk.typeOrLen = eth->typeOrLen();
  walk.end = ethAt + sizeof(Lumen::EthHdr);
  auto take = [&] {
    const auto* tag = Lumen::overlayAt<Lumen::Eth8021QHdr>(frame, walk.end);
    if (!tag) return !(walk.truncated = true);
    walk.at[walk.count] = walk.end;
    walk.vids[walk.count++] = tag->tagControl().vlanId();
    walk.end += sizeof(Lumen::Eth8021QHdr);
    walk.typeOrLen = tag->typeOrLen();
    return true;
  };
  if (walk.typeOrLen == outerTpid && take() && walk.typeOrLen == Lumen::ethTypeDot1Q) take();
  return walk;
}

void writeL2(std::span<std::uint8_t> out, const Lumen::EthAddr& dst, const Lumen::EthAddr& src,
             const Bridging::EgressTags& tags, std::uint8_t priority) {
  const auto vids = tags.vlans();
  auto* eth = Lumen::overlayAt<Lumen::EthHdr>(out, 0);
  KILN_ASSERT(eth != nullptr && out.size() >= l2Bytes(tags));
  eth->dstIs(dst);
  eth->srcIs(src);
  eth->typeOrLenIs(vids.empty() ? Lumen::ethTypeCfm : tags.tpid);
  for (std::size_t i = 0; i < vids.size(); ++i) {
    auto* tag = Lumen::overlayAt<Lumen::Eth8021QHdr>(
        out, sizeof(Lumen::EthHdr) + i * sizeof(Lumen::Eth8021QHdr));
    tag->tagControl().valueIs(vids[i] & 0x0fffu);
    tag->tagControl().priorityIs(priority);
    tag->typeOrLenIs(i + 1 < vids.size() ? Lumen::ethTypeDot1Q : Lumen::ethTypeCfm);
  }
}

}  // namespace Cfm
