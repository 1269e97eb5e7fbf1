#include "platform/ale/CcmFrame.h"

#include <algorithm>
#include <cstddef>

#include "platform/kiln/Errors.h"

namespace SoftAle {

namespace {

using Lumen::NetU16;
using Lumen::NetU32;
using Lumen::NetU8;

constexpr std::uint8_t opCodeCcm = Cfm::opCodeCcm;
constexpr std::uint8_t tlvTypeEnd = 0;
constexpr std::uint8_t tlvTypePortStatus = 2;
constexpr std::uint8_t tlvTypeInterfaceStatus = 4;

#pragma pack(push, 1)

struct CommonHdr {
  NetU8 levelVersion;    // bits 7-5: MD level, bits 4-0: version (0)
  NetU8 opCode;
  NetU8 flags;           // for a CCM, bit 7: RDI, bits 6-3: reserved, bits 2-0: interval code
  NetU8 firstTlvOffset;  // from the end of this byte to the first TLV
};

// A CCM's fixed part.
struct CcmHdr {
  CommonHdr common;
  NetU32 sequence;
  NetU16 mepId;
  Maid maid;
  std::array<std::uint8_t, 16> itu;  // ITU-T Y.1731's; zero from us, ignored from others
};

// Every TLV's first three bytes; the End TLV has only the type.
struct TlvHdr {
  NetU8 type;
  NetU16 length;  // of the value that follows
};

// The Port Status and Interface Status TLVs: one byte of value.
struct StatusTlv {
  TlvHdr hdr;
  NetU8 value;
};

// What a template writes after the Ethernet header and tags.
struct CcmPdu {
  CcmHdr hdr;
  StatusTlv portStatus;
  StatusTlv interfaceStatus;
  NetU8 end;
};

#pragma pack(pop)

constexpr std::uint8_t rdiBit = 0x80;
constexpr std::uint8_t intervalMask = 0x07;
// The fixed part a first TLV offset of less than this would cut.
constexpr std::uint8_t ccmFirstTlvOffset = sizeof(CcmHdr) - sizeof(CommonHdr);

static_assert(sizeof(CommonHdr) == 4 && sizeof(CcmHdr) == 74 && offsetof(CcmHdr, maid) == 10);
static_assert(ccmFirstTlvOffset == 70);
static_assert(sizeof(TlvHdr) == 3 && sizeof(StatusTlv) == 4 && alignof(CcmPdu) == 1);
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

}  // namespace

Maid maidOf(const Cfm::MdNameWithFormat& md, const Cfm::MaNameWithFormat& ma) {
  const std::string_view mdName = md.name.bytes();
  const std::string_view maName = ma.name.bytes();
  const bool hasMdName = md.format != Cfm::mdNameFormatNone;
  if (hasMdName == mdName.empty()) throw Kiln::RangeException("mdNameLen out of range");
  // The MA format and length bytes follow whatever the MD part took.
  const std::size_t mdBytes = hasMdName ? 2 + mdName.size() : 1;
  const std::size_t maRoom = Maid().size() - mdBytes - 2;
  if (maName.empty() || maName.size() > maRoom) {
    throw Kiln::RangeException("maNameLen out of range");
  }

  Maid maid{};
  auto out = maid.begin();
  *out++ = md.format;
  if (hasMdName) {
    *out++ = std::uint8_t(mdName.size());
    out = std::copy(mdName.begin(), mdName.end(), out);
  }
  *out++ = ma.format;
  *out++ = std::uint8_t(maName.size());
  std::copy(maName.begin(), maName.end(), out);
  return maid;
}

CcmTemplate::CcmTemplate(const CcmSender& sender)
    : intervalCode_(Cfm::ccmIntervalCode(sender.interval)) {
  KILN_ASSERT(sender.mdLevel.isValid() && !sender.mepId.isNone());
  const auto vids = sender.tags.vlans();
  pduAt_ = std::uint8_t(sizeof(Lumen::EthHdr) + sizeof(Lumen::Eth8021QHdr) * vids.size());
  size_ = std::uint8_t(pduAt_ + sizeof(CcmPdu));
  const std::span<std::uint8_t> out(bytes_.data(), size_);

  auto* eth = Lumen::overlayAt<Lumen::EthHdr>(out, 0);
  eth->dstIs(Cfm::ccmGroupAddr(sender.mdLevel));
  eth->srcIs(sender.src);
  eth->typeOrLenIs(vids.empty() ? Lumen::ethTypeCfm : sender.tags.tpid);
  for (std::size_t i = 0; i < vids.size(); ++i) {
    auto* tag = Lumen::overlayAt<Lumen::Eth8021QHdr>(
        out, sizeof(Lumen::EthHdr) + i * sizeof(Lumen::Eth8021QHdr));
    tag->tagControl().valueIs(vids[i] & 0x0fffu);
    tag->typeOrLenIs(i + 1 < vids.size() ? Lumen::ethTypeDot1Q : Lumen::ethTypeCfm);
  }

  // The bytes are zero: the version, the ITU-T area and the sequence number stay so.
  auto* pdu = Lumen::overlayAt<CcmPdu>(out, pduAt_);
  pdu->hdr.common.levelVersion.valueIs(std::uint8_t(sender.mdLevel.value() << 5));
  pdu->hdr.common.opCode.valueIs(opCodeCcm);
  pdu->hdr.common.flags.valueIs(intervalCode_);
  pdu->hdr.common.firstTlvOffset.valueIs(ccmFirstTlvOffset);
  pdu->hdr.mepId.valueIs(sender.mepId.value());
  pdu->hdr.maid = sender.maid;
  pdu->portStatus.hdr.type.valueIs(tlvTypePortStatus);
  pdu->portStatus.hdr.length.valueIs(1);
  pdu->portStatus.value.valueIs(sender.portStatus);
  pdu->interfaceStatus.hdr.type.valueIs(tlvTypeInterfaceStatus);
  pdu->interfaceStatus.hdr.length.valueIs(1);
  pdu->interfaceStatus.value.valueIs(sender.interfaceStatus);
  pdu->end.valueIs(tlvTypeEnd);
}

std::span<const std::uint8_t> CcmTemplate::frame(std::uint32_t sequence, bool rdi) {
  CcmHdr& hdr = pduAt(bytes_, pduAt_).hdr;
  hdr.sequence.valueIs(sequence);
  hdr.common.flags.valueIs(std::uint8_t((rdi ? rdiBit : 0) | intervalCode_));
  return bytes();
}

void CcmTemplate::portStatusIs(std::uint8_t value) {
  pduAt(bytes_, pduAt_).portStatus.value.valueIs(value);
}

void CcmTemplate::interfaceStatusIs(std::uint8_t value) {
  pduAt(bytes_, pduAt_).interfaceStatus.value.valueIs(value);
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

Parsed<CfmFrame> cfmFrameOf(std::span<const std::uint8_t> frame, std::uint16_t outerTpid) {
  const auto* eth = Lumen::overlayAt<Lumen::EthHdr>(frame, 0);
  if (!eth) return {std::nullopt, RxFault::ethHdrTooShort};
  CfmFrame out;
  out.dst = eth->dst();
  out.src = eth->src();
  std::size_t at = sizeof(Lumen::EthHdr);
  std::uint16_t type = eth->typeOrLen();
  // Takes the tag at `at` into `vid`; false when the frame is too short for it.
  auto takeTag = [&](std::uint16_t& vid) {
    const auto* tag = Lumen::overlayAt<Lumen::Eth8021QHdr>(frame, at);
    if (!tag) return false;
    at += sizeof(Lumen::Eth8021QHdr);
    vid = tag->tagControl().vlanId();
    type = tag->typeOrLen();
    return true;
  };
  if (type == outerTpid && (!takeTag(out.outerVid) ||
                            (type == Lumen::ethTypeDot1Q && !takeTag(out.innerVid)))) {
    return {std::nullopt, RxFault::vlanTagTooShort};
  }
  if (type != Lumen::ethTypeCfm) return {std::nullopt, RxFault::notCfm};
  out.pdu = frame.subspan(at);
  return {out, RxFault::none};
}

Parsed<ReceivedCcm> parseCcm(std::span<const std::uint8_t> pdu, const Lumen::EthAddr& src) {
  const auto* common = Lumen::overlayAt<CommonHdr>(pdu, 0);
  if (!common) return {std::nullopt, RxFault::cfmHdrTooShort};
  if (common->opCode.value() != opCodeCcm) return {std::nullopt, RxFault::notCcm};
  if (common->firstTlvOffset.value() < ccmFirstTlvOffset) {
    return {std::nullopt, RxFault::firstTlvOffsetTooSmall};
  }
  // The offset may leave room for more than the fixed part: the TLVs start where it says.
  std::size_t at = sizeof(CommonHdr) + common->firstTlvOffset.value();
  const auto* hdr = Lumen::overlayAt<CcmHdr>(pdu, 0);
  if (!hdr || at > pdu.size()) return {std::nullopt, RxFault::firstTlvOffsetTooLarge};
  const std::uint8_t flags = common->flags.value();

  Parsed<ReceivedCcm> out{ReceivedCcm{}, RxFault::none};
  ReceivedCcm& ccm = *out.value;
  ccm.mdLevel = Cfm::MdLevel(common->levelVersion.value() >> 5);
  ccm.src = src;
  ccm.mepId = hdr->mepId.value();
  ccm.rdi = flags & rdiBit;
  ccm.intervalCode = flags & intervalMask;
  ccm.sequence = hdr->sequence.value();
  ccm.maid = hdr->maid;

  while (const auto* type = Lumen::overlayAt<NetU8>(pdu, at)) {
    if (type->value() == tlvTypeEnd) break;
    const auto* tlv = Lumen::overlayAt<TlvHdr>(pdu, at);
    if (!tlv) {
      out.fault = RxFault::tlvHeaderPastEnd;
      break;
    }
    const std::size_t length = tlv->length.value();
    if (length > pdu.size() - at - sizeof(TlvHdr)) {
      out.fault = RxFault::tlvValuePastEnd;
      break;
    }
    const bool isPort = tlv->type.value() == tlvTypePortStatus;
    if (isPort || tlv->type.value() == tlvTypeInterfaceStatus) {
      const auto* status = Lumen::overlayAt<StatusTlv>(pdu, at);
      if (length != 1 || !status) {
        out.fault = RxFault::statusTlvBadLength;
        break;
      }
      (isPort ? ccm.portStatus : ccm.interfaceStatus) = status->value.value();
    }
    at += sizeof(TlvHdr) + length;
  }
  return out;
}

}  // namespace SoftAle
