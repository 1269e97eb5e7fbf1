#include "apps/cfmtool/Frames.h"

#include <new>
#include <sstream>
#include <utility>

#include "CfmAgent/CfmPdu.h"
#include "CfmAgent/ContinuityCheckPdu.h"
#include "CfmAgent/LinktracePdu.h"
#include "CfmAgent/LoopbackPdu.h"
#include "apps/cfmtool/Report.h"

namespace CfmTool {

using namespace CfmAgent;
using Lumen::EthAddr;

namespace {

// A frame built front to back: each overlay is constructed in place at the end. The
// pointer put() returns is valid until the next put(), which may move the bytes.
class FrameBuilder {
 public:
  explicit FrameBuilder(const L2Header& l2) {
    auto* eth = put<Lumen::EthHdr>();
    eth->dstIs(l2.dst);
    eth->srcIs(l2.src);
    if (!l2.vlan) {
      eth->typeOrLenIs(Lumen::ethTypeCfm);
      return;
    }
    eth->typeOrLenIs(Lumen::ethTypeDot1Q);
    auto* tag = put<Lumen::Eth8021QHdr>();
    tag->tagControl().vlanIdIs(*l2.vlan);
    tag->typeOrLenIs(Lumen::ethTypeCfm);
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
  void endTlv() { *grow(1) = tlvTypeEnd; }
  Frame take() { return std::move(frame_); }

 private:
  Frame frame_;
};

using Lumen::overlayAt;

// The CFM PDU of a received frame, and the VLAN it came on.
struct Decapsulated {
  EthAddr dst;
  EthAddr src;
  std::optional<std::uint16_t> vlan;
  bool tooManyTags = false;
  std::span<const std::uint8_t> pdu;
  const CFMCommonHeader* header = nullptr;  // at the front of `pdu`
};

std::optional<Decapsulated> decapsulate(std::span<const std::uint8_t> frame) {
  const auto* eth = overlayAt<Lumen::EthHdr>(frame, 0);
  if (eth == nullptr) return std::nullopt;
  Decapsulated d{eth->dst(), eth->src(), std::nullopt, false, {}};
  std::size_t offset = sizeof(Lumen::EthHdr);
  std::uint16_t type = eth->typeOrLen();
  int tags = 0;
  while (type == Lumen::ethTypeDot1Q || type == Lumen::ethTypeDot1ad) {
    const auto* tag = overlayAt<Lumen::Eth8021QHdr>(frame, offset);
    if (tag == nullptr || ++tags > 2) return std::nullopt;
    // A priority tag (VLAN id 0) leaves a frame in the untagged VLAN.
    if (tags == 1 && tag->tagControl().vlanId() != 0) d.vlan = tag->tagControl().vlanId();
    d.tooManyTags = tags > 1;
    offset += sizeof(Lumen::Eth8021QHdr);
    type = tag->typeOrLen();
  }
  if (type != Lumen::ethTypeCfm) return std::nullopt;
  d.pdu = frame.subspan(offset);
  d.header = overlayAt<CFMCommonHeader>(d.pdu, 0);
  if (d.header == nullptr) return std::nullopt;
  return d;
}

// The checks every reply shares, in the order a frame fails them.
Mismatch checkCommon(const std::optional<Decapsulated>& d, const ReplyFilter& filter,
                     std::uint8_t opCode) {
  if (!d) return Mismatch::notCfm;
  if (d->tooManyTags || d->vlan != filter.vlan) return Mismatch::vlan;
  if (d->dst != filter.self) return Mismatch::destination;
  if (filter.peer && d->src != *filter.peer) return Mismatch::source;
  if (d->header->opCode() != opCode) return Mismatch::opCode;
  if (d->header->mdLevel() != filter.level) return Mismatch::level;
  return Mismatch::accepted;
}

// Walks the TLV chain of the PDU and calls `visit(type, value)` for each TLV before the End
// TLV. Returns the offset after the End TLV (or the frame's end when there is none), or
// none when the first TLV lies below the opcode's fixed part or a TLV runs past the end.
template <class Visit>
std::optional<std::size_t> walkTlvs(const Decapsulated& d, Visit visit) {
  const std::span<const std::uint8_t> pdu = d.pdu;
  const CFMCommonHeader& header = *d.header;
  if (header.firstTlvOffset() < minFirstTlvOffset(header.opCode())) return std::nullopt;
  std::size_t offset = sizeof(CFMCommonHeader) + header.firstTlvOffset();
  if (offset > pdu.size()) return std::nullopt;
  while (offset < pdu.size()) {
    if (pdu[offset] == tlvTypeEnd) return offset + 1;
    const auto* tl = overlayAt<TypeLength>(pdu, offset);
    if (tl == nullptr) return std::nullopt;
    const std::size_t value = offset + sizeof(TypeLength);
    if (pdu.size() - value < tl->length()) return std::nullopt;
    visit(tl->type(), pdu.subspan(value, tl->length()));
    offset = value + tl->length();
  }
  return offset;
}

}  // namespace

EthAddr ltmGroupAddr(std::uint8_t level) {
  return EthAddr(0x01, 0x80, 0xc2, 0x00, 0x00, std::uint8_t(0x38 + (level & 7)));
}

Frame lbmFrame(const L2Header& l2, std::uint8_t level, std::uint32_t transactionId,
               std::size_t dataBytes) {
  FrameBuilder f(l2);
  f.put<LBMPdu>(level, Cfm::opCodeLbm)->transactionIdIs(transactionId);
  if (dataBytes > 0) {
    auto* data = f.put<TypeLength>();
    data->typeIs(tlvTypeData);
    data->lengthIs(std::uint16_t(dataBytes));
    std::uint8_t* payload = f.grow(dataBytes);
    for (std::size_t i = 0; i < dataBytes; ++i) payload[i] = std::uint8_t(i);
  }
  f.endTlv();
  return f.take();
}

Frame ltmFrame(const L2Header& l2, std::uint8_t level, std::uint32_t transactionId,
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

Frame ccmFrame(const L2Header& l2, const CcmFields& fields) {
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
  }
  return line.str();
}

Parsed<LoopbackReply> parseLoopbackReply(std::span<const std::uint8_t> frame,
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
  const auto end = walkTlvs(*d, [](std::uint8_t, std::span<const std::uint8_t>) {});
  if (!end) return {Mismatch::malformedTlv, std::nullopt};
  return {Mismatch::accepted, LoopbackReply{d->src, lbr->transactionId(), *end}};
}

Parsed<LinktraceReply> parseLinktraceReply(std::span<const std::uint8_t> frame,
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
  const auto end = walkTlvs(*d, [&](std::uint8_t type, std::span<const std::uint8_t> value) {
    if (type != tlvTypeLtrReplyIngress && type != tlvTypeLtrReplyEgress) return;
    // The TLV's bytes from its header on; one too short for an action and a MAC address
    // says nothing we could print.
    const std::span<const std::uint8_t> tlv(value.data() - sizeof(TypeLength),
                                            value.size() + sizeof(TypeLength));
    const auto* port = overlayAt<ReplyTlv>(tlv, 0);
    if (port == nullptr) return;
    auto& slot = type == tlvTypeLtrReplyIngress ? reply.ingress : reply.egress;
    slot = LinktraceReply::Port{port->macAddr(), port->action().value()};
  });
  if (!end) return {Mismatch::malformedTlv, std::nullopt};
  return {Mismatch::accepted, reply};
}

}  // namespace CfmTool
