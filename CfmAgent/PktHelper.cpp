#include "CfmAgent/PktHelper.h"

#include <algorithm>

#include "platform/cfm/L2.h"

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
  return {port ? std::uint32_t(Cfm::l2Bytes(tags)) : 0, maxFrameBytes(intf, tags.count, tags.tpid)};
}

bool PktHelper::encapL2Layer(const Kiln::Ptr<Lumen::Pkt>& pkt, PktMetaData& record,
                             Lumen::IntfId intf, const Lumen::EthAddr& dstMac,
                             const Lumen::EthAddr& srcMac, Lumen::VlanId vlan,
                             const Kiln::PtrConst<Bridging::Config>& brConfig) {
  auto port = brConfig ? brConfig->switchIntfConfig(intf) : nullptr;
  if (!port) return false;

  const Bridging::EgressTags tags = Bridging::egressTags(*port, vlan);
  // One prepend for tags and header: if the packet has to move to find head room, it moves
  // before any pointer into the new bytes is taken.
  const auto l2Bytes = std::uint32_t(Cfm::l2Bytes(tags));
  std::uint8_t* front = pkt->newSharedHeadData(l2Bytes);
  if (!front) return false;
  const std::span<std::uint8_t> l2(front, l2Bytes);
  Cfm::writeL2(l2, dstMac, srcMac, tags);
  for (std::size_t i = 0; i < tags.count; ++i) {
    record.eth8021QHdrEnq(Lumen::overlayAt<Lumen::Eth8021QHdr>(
        l2, sizeof(Lumen::EthHdr) + i * sizeof(Lumen::Eth8021QHdr)));
  }
  record.ethHdrIs(Lumen::overlayAt<Lumen::EthHdr>(l2, 0));
  return true;
}

}  // namespace CfmAgent
