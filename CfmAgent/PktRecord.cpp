#include "CfmAgent/PktRecord.h"

#include "platform/kiln/Errors.h"

namespace CfmAgent {

namespace {

Kiln::TraceHandle& trace() {
  static Kiln::TraceHandle& handle = Kiln::traceHandle("CfmPkt");
  return handle;
}

}  // namespace

PktMetaData::PktMetaData(std::uint32_t pktId, Kiln::Ptr<Lumen::Pkt> pkt, Lumen::IntfId intf,
                         bool ingress, Kiln::Ptr<Interface::EthDevPamCollection> pamCollection,
                         Kiln::Ptr<PktCounterHelper> pktCounterHelper)
    : pktId_(pktId),
      pkt_(Kiln::validPtr(std::move(pkt))),
      intf_(intf),
      ingress_(ingress),
      pamCollection_(std::move(pamCollection)),
      pktCounterHelper_(std::move(pktCounterHelper)) {
  handleInitialized();
}

void PktMetaData::handleInitialized() {
  KILN_TRACE(trace(), 8, "PktMetaData::handleInitialized");
  KILN_ASSERT(!initialized());
  pktFront_ = pkt_->offsetFront();
  pktBytes_ = pkt_->offsetBytes();
  initialized_ = true;
}

Kiln::Ptr<PktMetaData> pktMetaDataFactory(std::uint32_t pktId, Kiln::Ptr<Lumen::Pkt> pkt,
                                          Lumen::IntfId intf, bool ingress,
                                          Kiln::Ptr<Interface::EthDevPamCollection> pamCollection,
                                          Kiln::Ptr<PktCounterHelper> pktCounterHelper) {
  return Kiln::make<PktMetaData>(pktId, std::move(pkt), intf, ingress, std::move(pamCollection),
                                 std::move(pktCounterHelper));
}

std::uint8_t*& PktMetaData::tlvC(TlvType type) {
  if (!tlvIndexReady_) {
    tlvC_.fill(nullptr);
    tlvIndexReady_ = true;
  }
  return tlvC_[type];
}

std::span<std::uint8_t> PktMetaData::tlvSpan(std::uint8_t* tlv) {
  if (!tlv) return {};
  // Walked or built: a TLV in the index has its whole length behind it.
  return {tlv, tlv[0] == tlvTypeEnd ? 1 : sizeof(TypeLength) + reinterpret_cast<const TypeLength*>(tlv)->length()};
}

std::span<std::uint8_t> PktMetaData::tlv(TlvType type) {
  if (deletedTlv_[type]) return {};
  if (std::uint8_t* cached = tlvC(type)) return tlvSpan(cached);
  if (!ingress_ || tlvParseDone_ || tlvParseError_) return {};

  if (!tlvPkt_) {
    KILN_ASSERT(cfmHdr());
    const auto headerAt = std::uint32_t(reinterpret_cast<std::uint8_t*>(cfmHdr_) - pktFront_);
    const std::uint32_t firstTlv = headerAt + sizeof(CFMCommonHeader) + cfmHdr_->firstTlvOffset();
    if (firstTlv > pktBytes_) {
      tlvParseError_ = true;
      drop(trace(), CounterId::inErrorFirstTlvOffsetTooLarge_, "cfmHdr()->firstTlvOffset()",
           cfmHdr_->firstTlvOffset(), 7);
      return {};
    }
    tlvPkt_ = Lumen::pktManager().newShallowCopy(pkt_);
    tlvPkt_->beginOffsetIs(std::int16_t(firstTlv + std::uint32_t(pktFront_ - pkt_->frontData())));
  }

  for (;;) {
    const std::span<std::uint8_t> left = tlvPkt_->offsetSpan();
    const Cfm::TlvAt<std::uint8_t> at = Cfm::tlvAt(left);
    if (at.fault != Cfm::TlvFault::none) {
      tlvParseError_ = true;
      if (at.fault == Cfm::TlvFault::headerTruncated) {
        drop(trace(), CounterId::inErrorTlvHdrTruncated_, "typeLength->type()", left[0], 7);
      } else {
        const std::uint32_t length = Lumen::overlayAt<TypeLength>(left, 0)->length();
        drop(trace(), CounterId::inErrorTlvLenTooLarge_, "typeLength->length()", length, 7);
      }
      return {};
    }
    if (at.tlv.empty()) {
      tlvParseDone_ = true;  // a chain without End TLV is complete
      return {};
    }
    tlvPkt_->beginOffsetInc(std::int16_t(at.tlv.size()));
    const TlvType tlvType = Cfm::tlvType(at.tlv);
    tlvQ_.enq(at.tlv.data());
    tlvC(tlvType) = at.tlv.data();
    if (tlvType == tlvTypeEnd) {
      tlvParseDone_ = true;
      return {};
    }
    if (tlvType == type) return at.tlv;
  }
}

void PktMetaData::tlvIs(std::span<std::uint8_t> tlv) { tlvC(Cfm::tlvType(tlv)) = tlv.data(); }

void PktMetaData::tlvDel(TlvType type) {
  KILN_ASSERT(ingress());
  deletedTlv_.set(type);
}

void PktMetaData::incrPktCounter(CounterId id) {
  KILN_TRACE(trace(), 8, "PktMetaData::incrPktCounter");
  KILN_ASSERT(intf());
  const Cfm::MdLevel mdLevel = cfmHdr_ ? Cfm::MdLevel(cfmHdr_->mdLevel()) : Cfm::MdLevel();
  const CounterClass counterClass = CfmAgent::counterClass(id);
  if (ingress_) {
    KILN_ASSERT_TEXT(counterClass == CounterClass::counterClassIn_ ||
                         counterClass == CounterClass::counterClassInError_ ||
                         counterClass == CounterClass::counterClassDebug_,
                     "counterClass == CounterClass::counterClassIn_ || counterClass == "
                     "CounterClass::counterClassInError_ || counterClass == "
                     "CounterClass::counterClassDebug_");
  } else {
    KILN_ASSERT_TEXT(counterClass == CounterClass::counterClassOut_ ||
                         counterClass == CounterClass::counterClassOutError_,
                     "counterClass == CounterClass::counterClassOut_ || counterClass == "
                     "CounterClass::counterClassOutError_");
  }
  pktCounterHelper_->incrCounter(intf_, mdLevel, opCode_, id);
}

void PktMetaData::sendPkt() {
  KILN_TRACE(trace(), 8, "PktMetaData::sendPkt");
  KILN_ASSERT(!ingress());
  // The wire gets the frame from the begin offset on (a copy: from its first byte), and
  // that is where its Ethernet header must be. A frame without one, because no switchport
  // settings gave it its encapsulation, has no path out of this interface either.
  const std::uint8_t* wireFront = sendPktCopy_ ? pkt_->frontData() : pkt_->offsetFront();
  if (!ethHdr_ || static_cast<const void*>(ethHdr_) != wireFront) {
    drop(trace(), CounterId::outErrorNoPam_, "ethHdr()", intf_);
    return;
  }
  Kiln::Ptr<Interface::Pam> pam = pamCollection_ ? pamCollection_->intfPam(intf_) : nullptr;
  if (!pam) {
    incrPktCounter(CounterId::outErrorNoPam_);
    return;
  }
  incrPktCounter(CounterId::out_);
  if (sendPktCopy_) {
    auto copy = Lumen::pktManager().newPkt();
    copy->bytesIs(pkt_->bytes(), false);
    pkt_ = copy;
  }
  pam->txPkt(pkt_);
}

ProtocolPkt::ProtocolPkt(Cfm::Protocol protocol)
    : Kiln::Entity(Cfm::stringValue(protocol)), protocol_(protocol) {}

Kiln::Ptr<ProtocolPkt> protocolPktFactory(Cfm::Protocol protocol) {
  return Kiln::make<ProtocolPkt>(protocol);
}

void ProtocolPkt::pktMetaDataIs(Kiln::Ptr<PktMetaData> record) {
  Kiln::attributeIs(pktMetaData_, std::move(record), notifieeList_, &NotifieeConst::onPktMetaData);
}

std::uint32_t ProtocolPkt::readableCountInc(std::uint32_t n) {
  readableCountIs(readableCount_ + n);
  return readableCount_;
}

void ProtocolPkt::readableCountIs(std::uint32_t n) {
  Kiln::attributeIs(readableCount_, n, notifieeList_, &NotifieeConst::onReadableCount);
}

Kiln::Ptr<ProtocolPkt> ProtocolPktCollection::protocolPktIs(Cfm::Protocol protocol) {
  if (ProtocolPkt* slot = byProtocol_[protocol]) return slot;
  return protocolPkt_.childIs(protocol, this, [&] {
    byProtocol_[protocol] = protocolPkt_.find(protocol).get();
    notifieeList_.notify(&NotifieeConst::onProtocolPkt, protocol);
  });
}

void ProtocolPktCollection::protocolPktDel(Cfm::Protocol protocol) {
  byProtocol_[protocol] = nullptr;
  if (protocolPkt_.del(protocol)) notifieeList_.notify(&NotifieeConst::onProtocolPkt, protocol);
}

void ProtocolPktCollection::protocolPktDelAll() {
  while (!protocolPkt_.empty()) protocolPktDel(protocolPkt_.begin()->first);
}

}  // namespace CfmAgent
