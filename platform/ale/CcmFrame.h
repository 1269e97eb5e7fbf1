#pragma once
// The wire side of the software ALE layer, on the CFM wire library: the CCM frame a local
// MEP sends (built once, patched per transmission), and the reading of a received frame
// down to the CCM it carries.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string_view>

#include "platform/ale/Ccm.h"
#include "platform/cfm/L2.h"
#include "platform/lumen/Eth.h"
#include "platform/types/Bridging.h"
#include "platform/types/CfmTypes.h"

namespace SoftAle {

// What a local MEP's CCMs carry that stays for the MEP's life; a change of any of it makes
// a new CcmTemplate.
struct CcmSender {
  Lumen::EthAddr src;
  Cfm::MdLevel mdLevel{0};
  Cfm::MepId mepId;
  Maid maid{};
  Cfm::CcmTxInterval interval;
  Bridging::EgressTags tags;  // Bridging::egressTags of the MEP's port and VLAN
  std::uint8_t portStatus = portStatusUp;
  std::uint8_t interfaceStatus = interfaceStatusUp;
};

// One local MEP's CCM frame, whole: Ethernet header to the level's CCM group address, the
// egress tags, the common header and fixed part, the Port Status and Interface Status TLVs
// and the End TLV. A transmission rewrites only the bytes that change, in place: sending a
// CCM allocates nothing.
class CcmTemplate {
 public:
  // The Ethernet header, two tags, the fixed part and the three TLVs.
  static constexpr std::size_t maxFrameBytes = 14 + 2 * 4 + 74 + 4 + 4 + 1;

  // The interval field carries Cfm::ccmIntervalCode(sender.interval): an interval that is
  // not one of the seven a CCM can name goes out as the nearest of them.
  explicit CcmTemplate(const CcmSender& sender);

  // The frame with this sequence number and RDI bit, ready to send; the bytes stay valid
  // (and are rewritten in place by the next call) for the template's life.
  std::span<const std::uint8_t> frame(std::uint32_t sequence, bool rdi);
  // The frame as last written.
  std::span<const std::uint8_t> bytes() const { return {bytes_.data(), size_}; }

  void portStatusIs(std::uint8_t value);
  void interfaceStatusIs(std::uint8_t value);
  std::uint8_t intervalCode() const { return intervalCode_; }

 private:
  std::array<std::uint8_t, maxFrameBytes> bytes_{};
  std::uint8_t size_ = 0;
  std::uint8_t pduAt_ = 0;  // where the common header starts: after the Ethernet header and tags
  std::uint8_t intervalCode_ = 0;
};

// Why a received frame yields no CCM, or why the walk of its TLVs stopped early. Each is
// one drop reason (or one TLV fault) for whoever counts them.
enum class RxFault : std::uint8_t {
  none,
  // No CCM:
  ethHdrTooShort,
  vlanTagTooShort,
  notCfm,  // the type after the tags is not the CFM EtherType
  cfmHdrTooShort,
  notCcm,
  firstTlvOffsetTooSmall,  // below the 70 bytes of a CCM's fixed part
  firstTlvOffsetTooLarge,  // the TLVs would start past the end of the frame
  // A CCM, with the TLVs read before the fault:
  tlvHeaderPastEnd,     // a TLV's type and length do not fit in what is left
  tlvValuePastEnd,      // a TLV's length runs past the end of the frame
  statusTlvBadLength,   // a Port or Interface Status TLV whose length is not 1
};
std::string_view stringValue(RxFault fault);
std::ostream& operator<<(std::ostream& os, RxFault fault);

// A value read from untrusted bytes, and what stopped the reading: `value` is absent when
// the fault came before it was read, present with a TLV fault.
template <class T>
struct RxResult {
  std::optional<T> value;
  RxFault fault = RxFault::none;
};

// A CFM frame as a port received it.
struct CfmFrame {
  Lumen::EthAddr dst;
  Lumen::EthAddr src;
  std::uint16_t outerVid = 0;  // 0: untagged
  std::uint16_t innerVid = 0;  // 0: at most one tag
  std::span<const std::uint8_t> pdu;  // the common header to the end of the frame
};

// `frame`, Ethernet header first, split into addresses, tags (Cfm::walkTags under
// `outerTpid`, Bridging::outerTpid of the port) and CFM PDU.
RxResult<CfmFrame> cfmFrameOf(std::span<const std::uint8_t> frame, std::uint16_t outerTpid);

// The CCM in `pdu` (from the common header on, as CfmFrame::pdu), sent from `src`. The MD
// level, MEP id, interval and MAID are as received: judging them is the receiver's business.
// TLVs other than the two status TLVs are skipped; the chain ends at the End TLV or at the
// end of the frame.
RxResult<ReceivedCcm> parseCcm(std::span<const std::uint8_t> pdu, const Lumen::EthAddr& src);

}  // namespace SoftAle
