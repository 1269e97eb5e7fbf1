#include "platform/ale/CcmFrame.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

#include "platform/kiln/Errors.h"

namespace SoftAle {

namespace {

#pragma pack(push, 1)

// What a template writes after the Ethernet header and tags.
struct CcmPdu {
  Cfm::CCMPdu hdr;
  Cfm::StatusTlv portStatus;
  Cfm::StatusTlv interfaceStatus;
  Lumen::NetU8 end;
};

#pragma pack(pop)

static_assert(alignof(CcmPdu) == 1 && sizeof(CcmPdu) == 74 + 4 + 4 + 1);
static_assert(CcmTemplate::maxFrameBytes ==
              sizeof(Lumen::EthHdr) + 2 * sizeof(Lumen::Eth8021QHdr) + sizeof(CcmPdu));
// An untagged CCM already fills the 60 bytes of a minimal Ethernet frame (the FCS aside):
// nothing needs padding, which a raw socket would not add.
static_assert(sizeof(Lumen::EthHdr) + sizeof(CcmPdu) >= 60);

// The PDU a template wrote at `at` of its own bytes.
CcmPdu& pduAt(std::array<std::uint8_t, CcmTemplate::maxFrameBytes>& bytes, std::size_t at) {
  auto* pdu = Lumen::overlayAt<CcmPdu>(std::span<std::uint8_t>(bytes), at);
  KILN_ASSERT(pdu != nullptr);
  return *pdu;
}

void statusTlvIs(Cfm::StatusTlv& tlv, Cfm::TlvType type, std::uint8_t value) {
  tlv.typeIs(type);
  tlv.lengthIs(Cfm::StatusTlv::defaultLength);
  tlv.valueIs(value);
}

}  // namespace

CcmTemplate::CcmTemplate(const CcmSender& sender)
    : intervalCode_(Cfm::ccmIntervalCode(sender.interval)) {
  KILN_ASSERT(sender.mdLevel.isValid() && !sender.mepId.isNone());
  pduAt_ = std::uint8_t(Cfm::l2Bytes(sender.tags));
  size_ = std::uint8_t(pduAt_ + sizeof(CcmPdu));
  const std::span<std::uint8_t> out(bytes_.data(), size_);
  Cfm::writeL2(out, Cfm::ccmGroupAddr(sender.mdLevel), sender.src, sender.tags);

  // The version, the ITU-T area and the sequence number stay 0.
  auto* pdu = new (out.data() + pduAt_) CcmPdu{
      Cfm::CCMPdu(sender.mdLevel.value(), Cfm::opCodeCcm), {}, {}, Lumen::NetU8(Cfm::tlvTypeEnd)};
  pdu->hdr.ccmIntervalFieldIs(intervalCode_);
  pdu->hdr.mepIdIs(sender.mepId.value());
  std::memcpy(out.data() + pduAt_ + Cfm::CCMPdu::maIdOffset, sender.maid.data(), sender.maid.size());
  statusTlvIs(pdu->portStatus, Cfm::tlvTypePortStatus, sender.portStatus);
  statusTlvIs(pdu->interfaceStatus, Cfm::tlvTypeInterfaceStatus, sender.interfaceStatus);
}

std::span<const std::uint8_t> CcmTemplate::frame(std::uint32_t sequence, bool rdi) {
  Cfm::CCMPdu& hdr = pduAt(bytes_, pduAt_).hdr;
  hdr.sequenceNumberIs(sequence);
  hdr.remoteDefectIndicationIs(rdi);
  return bytes();
}

void CcmTemplate::portStatusIs(std::uint8_t value) {
  pduAt(bytes_, pduAt_).portStatus.valueIs(value);
}

void CcmTemplate::interfaceStatusIs(std::uint8_t value) {
  pduAt(bytes_, pduAt_).interfaceStatus.valueIs(value);
}

std::string_view stringValue(RxFault fault) {
  switch (fault) {
    case RxFault::none: return "none";
    case RxFault::ethHdrTooShort: return "ethHdrTooShort";
    case RxFault::vlanTagTooShort: return "vlanTagTooShort";
    case RxFault::notCfm: return "notCfm";
    case RxFault::cfmHdrTooShort: return "cfmHdrTooShort";
    case RxFault::notCcm: return "notCcm";
    case RxFault::firstTlvOffsetTooSmall: return "firstTlvOffsetTooSmall";
    case RxFault::firstTlvOffsetTooLarge: return "firstTlvOffsetTooLarge";
    case RxFault::tlvHeaderPastEnd: return "tlvHeaderPastEnd";
    case RxFault::tlvValuePastEnd: return "tlvValuePastEnd";
    case RxFault::statusTlvBadLength: return "statusTlvBadLength";
  }
  return "unknown";
}

std::ostream& operator<<(std::ostream& os, RxFault fault) { return os << stringValue(fault); }

RxResult<CfmFrame> cfmFrameOf(std::span<const std::uint8_t> frame, std::uint16_t outerTpid) {
  const auto* eth = Lumen::overlayAt<Lumen::EthHdr>(frame, 0);
  if (!eth) return {std::nullopt, RxFault::ethHdrTooShort};
  const Cfm::TagWalk tags = Cfm::walkTags(frame, 0, outerTpid);
  if (tags.truncated) return {std::nullopt, RxFault::vlanTagTooShort};
  if (tags.typeOrLen != Lumen::ethTypeCfm) return {std::nullopt, RxFault::notCfm};
  return {CfmFrame{eth->dst(), eth->src(), tags.outerVid(), tags.innerVid(), frame.subspan(tags.end)},
          RxFault::none};
}

RxResult<ReceivedCcm> parseCcm(std::span<const std::uint8_t> pdu, const Lumen::EthAddr& src) {
  const auto* common = Lumen::overlayAt<Cfm::CFMCommonHeader>(pdu, 0);
  if (!common) return {std::nullopt, RxFault::cfmHdrTooShort};
  if (common->opCode() != Cfm::opCodeCcm) return {std::nullopt, RxFault::notCcm};
  if (common->firstTlvOffset() < Cfm::minFirstTlvOffset(Cfm::opCodeCcm)) {
    return {std::nullopt, RxFault::firstTlvOffsetTooSmall};
  }
  // The offset may leave room for more than the fixed part: the TLVs start where it says.
  const std::size_t firstTlv = sizeof(Cfm::CFMCommonHeader) + common->firstTlvOffset();
  const auto* hdr = Lumen::overlayAt<Cfm::CCMPdu>(pdu, 0);
  if (!hdr || firstTlv > pdu.size()) return {std::nullopt, RxFault::firstTlvOffsetTooLarge};

  RxResult<ReceivedCcm> out{ReceivedCcm{}, RxFault::none};
  ReceivedCcm& ccm = *out.value;
  ccm.mdLevel = Cfm::MdLevel(hdr->mdLevel());
  ccm.src = src;
  ccm.mepId = hdr->mepId();
  ccm.rdi = hdr->remoteDefectIndication();
  ccm.intervalCode = hdr->ccmIntervalField();
  ccm.sequence = hdr->sequenceNumber();
  std::ranges::copy(hdr->maid(), ccm.maid.begin());

  Cfm::TlvWalk walk(pdu.subspan(firstTlv));
  for (auto tlv = walk.next(); !tlv.empty(); tlv = walk.next()) {
    const Cfm::TlvType type = Cfm::tlvType(tlv);
    if (type != Cfm::tlvTypePortStatus && type != Cfm::tlvTypeInterfaceStatus) continue;
    const auto value = Cfm::tlvValue(tlv);
    if (value.size() != Cfm::StatusTlv::defaultLength) {
      out.fault = RxFault::statusTlvBadLength;
      return out;
    }
    (type == Cfm::tlvTypePortStatus ? ccm.portStatus : ccm.interfaceStatus) = value[0];
  }
  if (walk.fault() == Cfm::TlvFault::headerTruncated) out.fault = RxFault::tlvHeaderPastEnd;
  if (walk.fault() == Cfm::TlvFault::valuePastEnd) out.fault = RxFault::tlvValuePastEnd;
  return out;
}

}  // namespace SoftAle
