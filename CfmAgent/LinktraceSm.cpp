#include "CfmAgent/LinktraceSm.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/kiln/Errors.h"
#include "platform/kiln/Trace.h"

namespace CfmAgent {

namespace {

Kiln::TraceHandle& trace() {
  static Kiln::TraceHandle& handle = Kiln::traceHandle("CfmLinktrace");
  return handle;
}

// What every LTR carries before the TLVs it copies.
constexpr std::uint32_t ltrFixedBytes =
    sizeof(LTRPdu) + sizeof(LtrEgressIdTlv) + sizeof(ReplyIngressTlv) + sizeof(ReplyEgressTlv);
constexpr std::uint32_t maxTagBytes = 2 * sizeof(Lumen::Eth8021QHdr);
static_assert(LinktraceSm::ltrGrowthMax == ltrFixedBytes - sizeof(LTMPdu) + 1 + maxTagBytes);
static_assert(LinktraceSm::relayGrowthMax == sizeof(LtmEgressIdTlv) + 1 + maxTagBytes);

}  // namespace

namespace {
// More than one LtrParams lives only while a reply is being built, so a few blocks do.
constexpr std::size_t keptLtrParams = 8;
struct FreeBlocks : std::vector<void*> {
  ~FreeBlocks() {
    for (void* block : *this) ::operator delete(block);
  }
};
thread_local FreeBlocks freeLtrParams;
}  // namespace

void* LtrParams::operator new(std::size_t bytes) {
  if (bytes != sizeof(LtrParams) || freeLtrParams.empty()) return ::operator new(bytes);
  void* block = freeLtrParams.back();
  freeLtrParams.pop_back();
  return block;
}

void LtrParams::operator delete(void* block, std::size_t bytes) {
  if (bytes != sizeof(LtrParams) || freeLtrParams.size() == keptLtrParams) return ::operator delete(block);
  if (freeLtrParams.capacity() == 0) freeLtrParams.reserve(keptLtrParams);
  freeLtrParams.push_back(block);
}

Kiln::Ptr<LtrParams> ltrParamsFactory() { return Kiln::make<LtrParams>(); }

LinktraceSm::LinktraceSm(Kiln::PtrConst<ProtocolPkt> protocolPkt, Kiln::PtrConst<MipCcmDb> mipCcmDb,
                         Kiln::Ptr<PktHelper> pktHelper, Kiln::PtrConst<Bridging::Config> brConfig,
                         Kiln::PtrConst<Bridging::Status> brStatus,
                         Kiln::PtrConst<Interface::EthDevPamCollection> pamCollection)
    : ProtocolPktSm("linktraceSm", std::move(protocolPkt), Cfm::opCodeLtm, trace(), "LinktraceSm"),
      mipCcmDb_(std::move(mipCcmDb)),
      pktHelper_(Kiln::validPtr(std::move(pktHelper))),
      brConfig_(std::move(brConfig)),
      brStatus_(std::move(brStatus)),
      pamCollection_(std::move(pamCollection)) {
  handleInitialized();
}

LinktraceSm::~LinktraceSm() = default;

Kiln::Ptr<LinktraceSm> linktraceSmFactory(Kiln::PtrConst<ProtocolPkt> protocolPkt,
                                          Kiln::PtrConst<MipCcmDb> mipCcmDb,
                                          Kiln::Ptr<PktHelper> pktHelper,
                                          Kiln::PtrConst<Bridging::Config> brConfig,
                                          Kiln::PtrConst<Bridging::Status> brStatus,
                                          Kiln::PtrConst<Interface::EthDevPamCollection> pamCollection) {
  return Kiln::make<LinktraceSm>(std::move(protocolPkt), std::move(mipCcmDb), std::move(pktHelper),
                                 std::move(brConfig), std::move(brStatus), std::move(pamCollection));
}

// Without bridging configuration the bridge has no address: nothing is its target.
Lumen::EthAddr LinktraceSm::bridgeMac() const {
  return brConfig_ ? brConfig_->bridgeMacAddr() : Lumen::EthAddr();
}

// LTRs share the slot and end before this: this bridge originates no LTM and keeps no
// replies.
void LinktraceSm::handlePkt(PktMetaData& record) {
  const auto& pkt = record.pkt();
  const LTMPdu* ltmPdu = Lumen::overlayAt<LTMPdu>(pkt->offsetSpan(), 0);
  if (!ltmPdu) {
    return record.drop(trace(), CounterId::inErrorPduTooShort_, "offsetBytes", pkt->offsetBytes());
  }
  // The fixed part, whatever the first TLV offset says.
  pkt->beginOffsetInc(std::int16_t(sizeof(LTMPdu)));
  KILN_TRACE(trace(), 9, "Packet useFdbOnly = " << ltmPdu->useFdbOnly() << " transactionId = "
                                                << ltmPdu->transactionId() << " ttl = " << unsigned(ltmPdu->ttl())
                                                << " originalMacAddr = " << ltmPdu->originalMacAddr()
                                                << " targetMacAddr = " << ltmPdu->targetMacAddr());
  if (!ltmPdu->originalMacAddr().isUnicast()) {
    return record.drop(trace(), CounterId::inErrorLtmOriginalMac_, "ltmPdu->originalMacAddr()",
                       ltmPdu->originalMacAddr());
  }
  if (!ltmPdu->targetMacAddr().isUnicast()) {
    return record.drop(trace(), CounterId::inErrorLtmTargetMac_, "ltmPdu->targetMacAddr()", ltmPdu->targetMacAddr());
  }
  if (ltmPdu->ttl() == 0) {
    return record.drop(trace(), CounterId::inErrorLtmTtlZero_, "ltmPdu->ttl()", ltmPdu->ttl());
  }
  // A short egress identifier is not read: the reply goes out with an all-zero last one.
  // The replies take the last TLV of each type, so the whole chain is walked first and the
  // last one is checked: an LTM may carry a good identifier and then a short one.
  record.tlv(tlvTypeEnd);
  if (const auto tlv = record.tlv(tlvTypeLtmEgressId); !tlv.empty()) {
    const auto length = Lumen::overlayAt<TypeLength>(tlv, 0)->length();
    if (length < LtmEgressIdTlv::defaultLength) {
      record.drop(trace(), CounterId::debugLtmEgressIdTlvLen_, "ltmEgressIdTlv->length()", length, 7);
      record.tlvDel(tlvTypeLtmEgressId);
    }
  }

  auto ltrParams = ltrParamsFactory();
  if (ltmPdu->targetMacAddr() == bridgeMac()) {
    ltrParams->relayActionIs(RelayAction(RelayAction::rlyHit));
    enqueueLTR(ltmPdu, ltrParams);
  } else if (forwardLTM(ltmPdu, ltrParams)) {
    enqueueLTR(ltmPdu, ltrParams);
  }
}

template <class Skip>
LinktraceSm::TlvCopies LinktraceSm::tlvCopies(PktMetaData& from, Skip skip) {
  from.tlv(tlvTypeEnd);  // the whole chain walked
  // Each TLV as the index gives its type: a repeated type repeats the one the index holds.
  TlvCopies copies;
  from.tlvQ().forEach([&](auto, std::uint8_t* tlv) {
    const auto type = TlvType(tlv[0]);
    if (skip(type)) return;
    if (const auto indexed = from.tlv(type); !indexed.empty()) {
      copies.tlvs.push_back(indexed);
      copies.bytes += indexed.size();
    }
  });
  return copies;
}

void LinktraceSm::prependTlvs(const TlvCopies& copies, Lumen::Pkt& pkt, PktMetaData& record) {
  for (std::size_t i = copies.tlvs.size(); i-- > 0;) {
    const std::span<const std::uint8_t> tlv = copies.tlvs[i];
    const std::span<std::uint8_t> copy(pkt.newSharedHeadData(std::uint32_t(tlv.size())), tlv.size());
    std::ranges::copy(tlv, copy.begin());
    record.tlvIs(copy);
  }
}

Kiln::Ptr<Lumen::Pkt> LinktraceSm::answerPkt(Lumen::IntfId egressIntf, std::uint64_t cfmBytes,
                                             std::uint32_t growthMax, CounterId tooBig) {
  PktMetaData& rx = received();
  const PktHelper::Egress egress = pktHelper_->egress(egressIntf, rx.vlan(), brConfig_);
  const std::uint64_t frameBytes = egress.l2Bytes + cfmBytes;
  const std::uint64_t maxBytes = std::min<std::uint64_t>(egress.maxFrameBytes, rx.pkt()->frontBytes() + growthMax);
  if (frameBytes > maxBytes) {
    rx.drop(trace(), tooBig, "frameBytes", std::to_string(frameBytes) + " > " + std::to_string(maxBytes));
    return nullptr;
  }
  // Room for the whole frame from the start: nothing moves while pointers into it are held.
  return Lumen::pktManager().newPkt(std::uint32_t(frameBytes));
}

void LinktraceSm::enqueueLTR(const LTMPdu* ltmPdu, Kiln::PtrConst<LtrParams> ltrParams) {
  PktMetaData& rx = received();
  const Lumen::EthAddr bridge = bridgeMac();
  const TlvCopies copies = tlvCopies(rx, [](TlvType type) {
    return type == tlvTypeEnd || type == tlvTypeSenderId || type == tlvTypeLtrReplyIngress ||
           type == tlvTypeLtrReplyEgress || type == tlvTypeLtmEgressId;
  });
  auto pkt = answerPkt(rx.intf(), ltrFixedBytes + copies.bytes + 1, ltrGrowthMax, CounterId::debugReplyTooBig_);
  if (!pkt) return;
  auto record = pktHelper_->newPktMetaData(pkt, rx.intf(), false);
  record->opCodeIs(Cfm::opCodeLtr);

  *pkt->newSharedHeadData(1) = tlvTypeEnd;
  prependTlvs(copies, *pkt, *record);
  auto* egress = ReplyEgressTlv::replyEgressTlvInit(pkt->newSharedHeadData(sizeof(ReplyEgressTlv)));
  egress->actionIs(Action(Action::egrOk));
  egress->macAddrIs(bridge);
  auto* ingress = ReplyIngressTlv::replyIngressTlvInit(pkt->newSharedHeadData(sizeof(ReplyIngressTlv)));
  ingress->actionIs(Action(Action::ingOk));
  ingress->macAddrIs(bridge);
  auto* ltrEgressId = LtrEgressIdTlv::ltrEgressTlvInit(pkt->newSharedHeadData(sizeof(LtrEgressIdTlv)));
  if (const auto last = rx.tlv(tlvTypeLtmEgressId); !last.empty()) {
    ltrEgressId->lastEgressIdIs(Lumen::overlayAt<LtmEgressIdTlv>(last, 0)->egressId());
  }
  ltrEgressId->nextEgressIdIs(EgressId(0, bridge));

  auto* ltr = LTRPdu::ltrPduInit(pkt->newSharedHeadData(sizeof(LTRPdu)), rx.cfmHdr()->mdLevel());
  ltr->flagIs(ltmPdu->flag());
  ltr->terminalMepIs(false);  // this bridge is never the MEP that ends the trace
  ltr->fwdYesIs(ltrParams->fwdYes());
  ltr->transactionIdIs(ltmPdu->transactionId());
  ltr->replyTtlIs(std::uint8_t(ltmPdu->ttl() - 1));
  ltr->relayActionIs(ltrParams->relayAction());
  record->cfmHdrIs(ltr);

  pktHelper_->encapL2Layer(pkt, *record, rx.intf(), ltmPdu->originalMacAddr(), bridge, rx.vlan(), brConfig_);
  record->sendPkt();
}

bool LinktraceSm::forwardLTM(const LTMPdu* ltmPdu, Kiln::Ptr<LtrParams> ltrParams) {
  PktMetaData& rx = received();
  const RelayDecision relay = relayDecision(ltmPdu->targetMacAddr(), rx.vlan(), rx.intf(), ltmPdu->useFdbOnly());
  if (!relay.usable) {
    rx.drop(trace(), CounterId::debugLtmNoEgressPort_, "egressPort", relay.egress, 7);
    return false;
  }
  ltrParams->relayActionIs(relay.relayAction);
  const Lumen::IntfId egress = relay.egress;
  if (ltmPdu->ttl() == 1) {
    rx.incrPktCounter(CounterId::debugLtmTtlExpired_);
    return true;
  }
  // A relay too big for its egress is not sent, and the reply says so: FwdNo.
  if (auto relayed = frameLTM(egress, ltmPdu)) {
    relayed->sendPkt();
    ltrParams->fwdYesIs(true);
  }
  return true;
}

Kiln::Ptr<PktMetaData> LinktraceSm::frameLTM(Lumen::IntfId egressIntf, const LTMPdu* ltmPdu) {
  PktMetaData& rx = received();
  const TlvCopies copies = tlvCopies(rx, [](TlvType type) {
    return type == tlvTypeEnd || type == tlvTypeSenderId || type == tlvTypeLtmEgressId;
  });
  auto pkt = answerPkt(egressIntf, sizeof(LTMPdu) + sizeof(LtmEgressIdTlv) + copies.bytes + 1, relayGrowthMax,
                       CounterId::debugLtmRelayTooBig_);
  if (!pkt) return nullptr;
  auto record = pktHelper_->newPktMetaData(pkt, egressIntf, false);
  record->opCodeIs(Cfm::opCodeLtm);

  *pkt->newSharedHeadData(1) = tlvTypeEnd;
  prependTlvs(copies, *pkt, *record);
  auto* egressId = LtmEgressIdTlv::ltmEgressTlvInit(pkt->newSharedHeadData(sizeof(LtmEgressIdTlv)));
  egressId->egressIdIs(EgressId(0, bridgeMac()));

  auto* ltm = LTMPdu::ltmPduInit(pkt->newSharedHeadData(sizeof(LTMPdu)), rx.cfmHdr()->mdLevel());
  ltm->flagIs(ltmPdu->flag());
  ltm->transactionIdIs(ltmPdu->transactionId());
  ltm->ttlIs(std::uint8_t(ltmPdu->ttl() - 1));
  ltm->originalMacAddrIs(ltmPdu->originalMacAddr());
  ltm->targetMacAddrIs(ltmPdu->targetMacAddr());
  record->cfmHdrIs(ltm);

  // A group-addressed LTM goes on to the same group address.
  pktHelper_->encapL2Layer(pkt, *record, egressIntf, rx.ethHdr()->dst(), bridgeMac(), rx.vlan(), brConfig_);
  return record;
}

RelayDecision LinktraceSm::relayDecision(const Lumen::EthAddr& targetMac, Bridging::VlanId vlan,
                                         Lumen::IntfId ingress, bool useFdbOnly) const {
  RelayDecision relay;
  relay.egress = fdbLookup(targetMac, vlan);
  if (relay.egress && relay.egress != ingress) {
    relay.relayAction = RelayAction(RelayAction::rlyFdb);
  } else if (!useFdbOnly) {
    relay.mipCcmDbAsked = true;
    relay.egress = mipCcmDbLookup(targetMac, vlan);
    if (relay.egress && relay.egress != ingress) relay.relayAction = RelayAction(RelayAction::rlyMpdb);
  }
  relay.usable = relay.egress && relay.egress != ingress;
  return relay;
}

Lumen::IntfId LinktraceSm::fdbLookup(const Lumen::EthAddr& targetMac, Bridging::VlanId vlan) const {
  const Lumen::IntfId configured = configuredHostLookup(targetMac, vlan);
  return configured ? configured : learnedHostLookup(targetMac, vlan);
}

Lumen::IntfId LinktraceSm::configuredHostLookup(const Lumen::EthAddr& targetMac, Bridging::VlanId vlan) const {
  const auto vlanConfig = brConfig_ ? brConfig_->vlanConfig(vlan) : nullptr;
  if (!vlanConfig) return {};
  const Bridging::ConfiguredHost host = vlanConfig->configuredHost(targetMac);
  return host != Bridging::ConfiguredHost{} ? host.intf : Lumen::IntfId();
}

Lumen::IntfId LinktraceSm::learnedHostLookup(const Lumen::EthAddr& targetMac, Bridging::VlanId vlan) const {
  const auto vlanStatus = brStatus_ ? brStatus_->vlanStatus(vlan) : nullptr;
  if (!vlanStatus) return {};
  const Bridging::LearnedHost host = vlanStatus->learnedHost(targetMac);
  return host != Bridging::LearnedHost{} ? host.intf : Lumen::IntfId();
}

Lumen::IntfId LinktraceSm::mipCcmDbLookup(const Lumen::EthAddr& targetMac, Bridging::VlanId vlan) const {
  const auto entries = mipCcmDb_ ? mipCcmDb_->vlan(vlan) : nullptr;
  return entries ? entries->entry(targetMac) : Lumen::IntfId();
}

}  // namespace CfmAgent
