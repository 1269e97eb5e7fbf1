#include "CfmAgent/PktHelper.h"

#include <algorithm>
#include <new>

namespace CfmAgent {

PktHelper::PktHelper(Kiln::Ptr<Interface::EthDevPamCollection> pamCollection,
                     Kiln::Ptr<CounterHelper> counterHelper)
    : Kiln::Entity("pktHelper"),
      pamCollection_(std::move(pamCollection)),
      counterHelper_(std::move(counterHelper)) {}

Kiln::Ptr<PktMetaData> PktHelper::newPktMetaData(Kiln::Ptr<Lumen::Pkt> pkt, Lumen::IntfId intf,
                                                 bool ingress) {
  auto counting = pktCounterHelperFactory(counterHelper_);
  auto record = pktMetaDataFactory(++pktId_, std::move(pkt), intf, ingress, pamCollection_,
                                   std::move(counting));
  if (ingress) record->incrPktCounter(CounterId::in_);
  return record;
}

std::uint32_t PktHelper::maxFrameBytes(Lumen::IntfId intf, std::size_t tags, std::uint16_t outerTpid) const {
  const auto pam = pamCollection_ ? pamCollection_->intfPam(intf) : nullptr;
  return pam ? std::min(pam->maxFrameBytes(tags, outerTpid), Lumen::Pkt::maxBytes) : Lumen::Pkt::maxBytes;
}

PktHelper::Egress PktHelper::egress(Lumen::IntfId intf, Lumen::VlanId vlan,
                                    const Kiln::PtrConst<Bridging::Config>& brConfig) const {
  auto port = brConfig ? brConfig->switchIntfConfig(intf) : nullptr;
  const Bridging::EgressTags tags = port ? Bridging::egressTags(*port, vlan) : Bridging::EgressTags{};
  const std::size_t count = tags.vlans().size();
  return {port ? std::uint32_t(sizeof(Lumen::EthHdr) + sizeof(Lumen::Eth8021QHdr) * count) : 0,
          maxFrameBytes(intf, count, tags.tpid)};
}

bool PktHelper::encapL2Layer(const Kiln::Ptr<Lumen::Pkt>& pkt, PktMetaData& record,
                             Lumen::IntfId intf, const Lumen::EthAddr& dstMac,
                             const Lumen::EthAddr& srcMac, Lumen::VlanId vlan,
                             const Kiln::PtrConst<Bridging::Config>& brConfig) {
  auto port = brConfig ? brConfig->switchIntfConfig(intf) : nullptr;
  if (!port) return false;

  const Bridging::EgressTags tags = Bridging::egressTags(*port, vlan);
  const auto vids = tags.vlans();

  // One prepend for tags and header: if the packet has to move to find head room, it moves
  // before any pointer into the new bytes is taken.
  std::uint8_t* front = pkt->newSharedHeadData(
      std::uint32_t(sizeof(Lumen::EthHdr) + sizeof(Lumen::Eth8021QHdr) * vids.size()));
  if (!front) return false;
  std::uint8_t* at = front + sizeof(Lumen::EthHdr);
  for (std::size_t i = 0; i < vids.size(); ++i, at += sizeof(Lumen::Eth8021QHdr)) {
    auto* tag = new (at) Lumen::Eth8021QHdr;
    tag->tagControl().valueIs(vids[i] & 0x0fffu);
    tag->typeOrLenIs(i + 1 < vids.size() ? Lumen::ethTypeDot1Q : Lumen::ethTypeCfm);
    record.eth8021QHdrEnq(tag);
  }
  auto* eth = new (front) Lumen::EthHdr;
  eth->dstIs(dstMac);
  eth->srcIs(srcMac);
  eth->typeOrLenIs(vids.empty() ? Lumen::ethTypeCfm : tags.tpid);
  record.ethHdrIs(eth);
  return true;
}

}  // namespace CfmAgent
