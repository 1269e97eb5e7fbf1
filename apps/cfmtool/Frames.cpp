#include "apps/cfmtool/Frames.h"

#include <new>
#include <sstream>
#include <utility>

#include "apps/cfmtool/Report.h"
#include "platform/cfm/CcmWire.h"
#include "platform/cfm/L2.h"
#include "platform/cfm/LinktraceWire.h"
#include "platform/cfm/LoopbackWire.h"

namespace CfmTool {

using namespace Cfm;
using Lumen::EthAddr;

namespace {

// A frame built front to back: each overlay is constructed in place at the end. The
// pointer put() returns is valid until the next put(), which may move the bytes.
class FrameBuilder {
 public:
  explicit FrameBuilder(const L2Header& l2) {
    Bridging::EgressTags tags;
    if (l2.vlan) tags.vids[tags.count++] = *l2.vlan;
    Cfm::writeL2(std::span(grow(Cfm::l2Bytes(tags)), Cfm::l2Bytes(tags)), l2.dst, l2.src, tags);
  }

  template <class T, class... Args>
  T* put(Args&&... args) {
    return new (grow(sizeof(T))) T(std::forward<Args>(args)...);
  }
  std::uint8_t* grow(std::size_t bytes) {
    const std::size_t at = frame_.size();
    frame_.resize(at + bytes);
    return frame_.data() + at;
  }
  // A Data TLV of `bytes` pattern bytes, none when 0.
  void dataTlv(std::size_t bytes) {
    if (bytes == 0) return;
    auto* data = put<TypeLength>();
    data->typeIs(tlvTypeData);
    data->lengthIs(std::uint16_t(bytes));
    std::uint8_t* payload = grow(bytes);
    for (std::size_t i = 0; i < bytes; ++i) payload[i] = std::uint8_t(i);
  }
  void endTlv() { *grow(1) = tlvTypeEnd; }
  FrameBytes take() { return std::move(frame_); }

 private:
  FrameBytes frame_;
};

using Lumen::overlayAt;

// The CFM PDU of a received frame, and the VLAN it came on.
struct Decapsulated {
  EthAddr dst;
  EthAddr src;
  std::optional<std::uint16_t> vlan;
  bool doubleTagged = false;
  std::span<const std::uint8_t> pdu;
  const CFMCommonHeader* header = nullptr;  // at the front of `pdu`
};

std::optional<Decapsulated> decapsulate(std::span<const std::uint8_t> frame) {
  const auto* eth = overlayAt<Lumen::EthHdr>(frame, 0);
  if (eth == nullptr) return std::nullopt;
  // A host takes an 802.1ad outer tag as readily as an 802.1Q one.
  const std::uint16_t outerTpid =
      eth->typeOrLen() == Lumen::ethTypeDot1ad ? Lumen::ethTypeDot1ad : Lumen::ethTypeDot1Q;
  const Cfm::TagWalk tags = Cfm::walkTags(frame, 0, outerTpid);
  if (tags.truncated || tags.typeOrLen != Lumen::ethTypeCfm) return std::nullopt;
  Decapsulated d{eth->dst(), eth->src(), std::nullopt, tags.count > 1, frame.subspan(tags.end)};
  // A priority tag (VLAN id 0) leaves a frame in the untagged VLAN.
  if (tags.outerVid() != 0) d.vlan = tags.outerVid();
  d.header = overlayAt<CFMCommonHeader>(d.pdu, 0);
  if (d.header == nullptr) return std::nullopt;
  return d;
}

// The checks every reply shares, in the order a frame fails them.
Mismatch checkCommon(const std::optional<Decapsulated>& d, const ReplyFilter& filter,
                     std::uint8_t opCode) {
  if (!d) return Mismatch::notCfm;
  if (d->doubleTagged || d->vlan != filter.vlan) return Mismatch::vlan;
  if (d->dst != filter.self) return Mismatch::destination;
  if (filter.peer && d->src != *filter.peer) return Mismatch::source;
  if (d->header->opCode() != opCode) return Mismatch::opCode;
  if (d->header->mdLevel() != filter.level) return Mismatch::level;
  return Mismatch::accepted;
}

// Walks the TLV chain of the PDU and calls `visit(tlv)` for each TLV before the End TLV.
// Returns the offset after the End TLV (or the frame's end when there is none), or none
// when the first TLV lies below `minOffset`, the opcode's fixed part, or a TLV runs past
// the end.
template <class Visit>
std::optional<std::size_t> walkTlvs(const Decapsulated& d, std::uint8_t minOffset, Visit visit) {
  const CFMCommonHeader& header = *d.header;
  if (header.firstTlvOffset() < minOffset) return std::nullopt;
  const std::size_t firstTlv = sizeof(CFMCommonHeader) + header.firstTlvOffset();
  if (firstTlv > d.pdu.size()) return std::nullopt;
  Cfm::TlvWalk walk(d.pdu.subspan(firstTlv));
  for (auto tlv = walk.next(); !tlv.empty(); tlv = walk.next()) visit(tlv);
  if (walk.fault() != Cfm::TlvFault::none) return std::nullopt;
  return firstTlv + walk.consumed();
}

}  // namespace

FrameBytes lbmFrame(const L2Header& l2, std::uint8_t level, std::uint32_t transactionId,
                    std::size_t dataBytes) {
  FrameBuilder f(l2);
  f.put<LBMPdu>(level, Cfm::opCodeLbm)->transactionIdIs(transactionId);
  f.dataTlv(dataBytes);
  f.endTlv();
  return f.take();
}

FrameBytes ltmFrame(const L2Header& l2, std::uint8_t level, std::uint32_t transactionId,
                    std::uint8_t ttl, const EthAddr& target) {
  FrameBuilder f(l2);
  LTMPdu* ltm = LTMPdu::ltmPduInit(f.grow(sizeof(LTMPdu)), level);
  ltm->transactionIdIs(transactionId);
  ltm->ttlIs(ttl);
  ltm->originalMacAddrIs(l2.src);
  ltm->targetMacAddrIs(target);
  LtmEgressIdTlv::ltmEgressTlvInit(f.grow(sizeof(LtmEgressIdTlv)))
      ->egressIdIs(EgressId(0, l2.src));
  f.endTlv();
  return f.take();
}

FrameBytes dmmFrame(const L2Header& l2, std::uint8_t level, PmTime txTimeStampf, std::size_t dataBytes) {
  FrameBuilder f(l2);
  f.put<DmPdu>(level, opCodeDmm)->txTimeStampfIs(txTimeStampf);
  f.dataTlv(dataBytes);
  f.endTlv();
  return f.take();
}

FrameBytes slmFrame(const L2Header& l2, std::uint8_t level, std::uint16_t sourceMepId, std::uint32_t testId,
                    std::uint32_t txFcf, std::size_t dataBytes) {
  FrameBuilder f(l2);
  auto* slm = f.put<SlPdu>(level, opCodeSlm);
  slm->sourceMepIdIs(sourceMepId);
  slm->testIdIs(testId);
  slm->txFcfIs(txFcf);
  f.dataTlv(dataBytes);
  f.endTlv();
  return f.take();
}

FrameBytes ccmFrame(const L2Header& l2, const CcmFields& fields) {
  FrameBuilder f(l2);
  auto* ccm = f.put<CCMPdu>(fields.level, Cfm::opCodeCcm);
  ccm->ccmIntervalFieldIs(fields.intervalCode);
  ccm->sequenceNumberIs(fields.sequenceNumber);
  ccm->mepIdIs(fields.mepId);
  ccm->maIdIs({fields.mdName, Cfm::mdNameFormatCharacterString},
              {fields.maName, Cfm::maNameFormatCharacterString});
  f.endTlv();
  return f.take();
}

std::string_view stringValue(Mismatch m) {
  switch (m) {
    case Mismatch::accepted: return "accepted";
    case Mismatch::notCfm: return "notCfm";
    case Mismatch::vlan: return "vlan";
    case Mismatch::destination: return "destination";
    case Mismatch::source: return "source";
    case Mismatch::opCode: return "opCode";
    case Mismatch::level: return "level";
    case Mismatch::transactionId: return "transactionId";
    case Mismatch::testId: return "testId";
    case Mismatch::mepId: return "mepId";
    case Mismatch::tooShort: return "tooShort";
    case Mismatch::malformedTlv: return "malformedTlv";
  }
  return "?";
}

std::optional<std::string> describeFrame(std::span<const std::uint8_t> frame) {
  const auto d = decapsulate(frame);
  if (!d) return std::nullopt;
  std::ostringstream line;
  line << d->src << " > " << d->dst;
  if (d->vlan) line << ", vlan " << *d->vlan;
  const std::uint8_t opCode = d->header->opCode();
  line << ", level " << unsigned(d->header->mdLevel()) << " ";
  switch (opCode) {
    case Cfm::opCodeCcm: line << "CCM"; break;
    case Cfm::opCodeLbr: line << "LBR"; break;
    case Cfm::opCodeLbm: line << "LBM"; break;
    case Cfm::opCodeLtr: line << "LTR"; break;
    case Cfm::opCodeLtm: line << "LTM"; break;
    case opCode1Dm: line << "1DM"; break;
    case opCodeDmr: line << "DMR"; break;
    case opCodeDmm: line << "DMM"; break;
    case opCodeSlr: line << "SLR"; break;
    case opCodeSlm: line << "SLM"; break;
    default: line << "opcode " << unsigned(opCode);
  }
  if (opCode == Cfm::opCodeLbm || opCode == Cfm::opCodeLbr) {
    if (const auto* lb = overlayAt<LBMPdu>(d->pdu, 0)) line << " transaction " << lb->transactionId();
  } else if (opCode == Cfm::opCodeLtm) {
    if (const auto* ltm = overlayAt<LTMPdu>(d->pdu, 0)) {
      line << " transaction " << ltm->transactionId() << " ttl " << unsigned(ltm->ttl()) << " original "
           << ltm->originalMacAddr() << " target " << ltm->targetMacAddr();
    }
  } else if (opCode == Cfm::opCodeLtr) {
    if (const auto* ltr = overlayAt<LTRPdu>(d->pdu, 0)) {
      line << " transaction " << ltr->transactionId() << " reply ttl " << unsigned(ltr->replyTtl()) << " "
           << relayActionName(ltr->relayAction().value()) << (ltr->fwdYes() ? " FwdYes" : "");
    }
  } else if (opCode == opCodeSlm || opCode == opCodeSlr) {
    if (const auto* sl = overlayAt<SlPdu>(d->pdu, 0)) {
      line << " test " << sl->testId() << " source MEP " << sl->sourceMepId() << " txfcf " << sl->txFcf()
           << " txfcb " << sl->txFcb();
    }
  }
  return line.str();
}

ReplyMatch<LoopbackReply> parseLoopbackReply(std::span<const std::uint8_t> frame,
                                         const ReplyFilter& filter) {
  const auto d = decapsulate(frame);
  if (const Mismatch m = checkCommon(d, filter, Cfm::opCodeLbr); m != Mismatch::accepted) {
    return {m, std::nullopt};
  }
  const auto* lbr = overlayAt<LBRPdu>(d->pdu, 0);
  if (lbr == nullptr) return {Mismatch::tooShort, std::nullopt};
  // Unsigned arithmetic: a run of ids that wraps past 2^32 - 1 still matches.
  if (lbr->transactionId() - filter.firstTransactionId >= filter.transactionIds) {
    return {Mismatch::transactionId, std::nullopt};
  }
  const auto end = walkTlvs(*d, minFirstTlvOffset(opCodeLbr), [](std::span<const std::uint8_t>) {});
  if (!end) return {Mismatch::malformedTlv, std::nullopt};
  return {Mismatch::accepted, LoopbackReply{d->src, lbr->transactionId(), *end}};
}

ReplyMatch<LinktraceReply> parseLinktraceReply(std::span<const std::uint8_t> frame,
                                           const ReplyFilter& filter) {
  const auto d = decapsulate(frame);
  if (const Mismatch m = checkCommon(d, filter, Cfm::opCodeLtr); m != Mismatch::accepted) {
    return {m, std::nullopt};
  }
  const auto* ltr = overlayAt<LTRPdu>(d->pdu, 0);
  if (ltr == nullptr) return {Mismatch::tooShort, std::nullopt};
  if (ltr->transactionId() != filter.firstTransactionId) {
    return {Mismatch::transactionId, std::nullopt};
  }
  LinktraceReply reply;
  reply.src = d->src;
  reply.replyTtl = ltr->replyTtl();
  reply.relayAction = ltr->relayAction().value();
  reply.fwdYes = ltr->fwdYes();
  reply.terminalMep = ltr->terminalMep();
  const auto end = walkTlvs(*d, minFirstTlvOffset(opCodeLtr), [&](std::span<const std::uint8_t> tlv) {
    const TlvType type = tlvType(tlv);
    if (type != tlvTypeLtrReplyIngress && type != tlvTypeLtrReplyEgress) return;
    // One too short for an action and a MAC address says nothing we could print.
    const auto* port = overlayAt<ReplyTlv>(tlv, 0);
    if (port == nullptr) return;
    auto& slot = type == tlvTypeLtrReplyIngress ? reply.ingress : reply.egress;
    slot = LinktraceReply::Port{port->macAddr(), port->action().value()};
  });
  if (!end) return {Mismatch::malformedTlv, std::nullopt};
  return {Mismatch::accepted, reply};
}

ReplyMatch<DelayReply> parseDelayReply(std::span<const std::uint8_t> frame, const ReplyFilter& filter) {
  const auto d = decapsulate(frame);
  if (const Mismatch m = checkCommon(d, filter, opCodeDmr); m != Mismatch::accepted) return {m, std::nullopt};
  const auto* dmr = overlayAt<DmPdu>(d->pdu, 0);
  if (dmr == nullptr) return {Mismatch::tooShort, std::nullopt};
  if (!walkTlvs(*d, DmPdu::firstTlvOffsetDm, [](std::span<const std::uint8_t>) {})) {
    return {Mismatch::malformedTlv, std::nullopt};
  }
  return {Mismatch::accepted, DelayReply{d->src, *dmr}};
}

ReplyMatch<LossReply> parseLossReply(std::span<const std::uint8_t> frame, const ReplyFilter& filter) {
  const auto d = decapsulate(frame);
  if (const Mismatch m = checkCommon(d, filter, opCodeSlr); m != Mismatch::accepted) return {m, std::nullopt};
  const auto* slr = overlayAt<SlPdu>(d->pdu, 0);
  if (slr == nullptr) return {Mismatch::tooShort, std::nullopt};
  if (slr->testId() != filter.testId) return {Mismatch::testId, std::nullopt};
  if (slr->sourceMepId() != filter.sourceMepId) return {Mismatch::mepId, std::nullopt};
  if (!walkTlvs(*d, SlPdu::firstTlvOffsetSl, [](std::span<const std::uint8_t>) {})) {
    return {Mismatch::malformedTlv, std::nullopt};
  }
  return {Mismatch::accepted, LossReply{d->src, slr->responderMepId(), slr->txFcf(), slr->txFcb()}};
}

}  // namespace CfmTool
