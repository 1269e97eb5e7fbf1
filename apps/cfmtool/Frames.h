#pragma once
// The frames cfmtool sends and the replies it accepts, without sockets: whole Ethernet
// frames built from the agent's wire-format overlays, and received frames read back into
// the few facts the commands print.
//
// A received frame is untrusted: every reader here checks its bounds before it lays an
// overlay, and says why a frame is not the reply it waits for instead of failing.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/cfm/L2.h"
#include "platform/cfm/PmWire.h"
#include "platform/lumen/Eth.h"
#include "platform/types/CfmTypes.h"

namespace CfmTool {

using FrameBytes = std::vector<std::uint8_t>;

// Addressing and encapsulation shared by the frames of one command.
struct L2Header {
  Lumen::EthAddr dst;
  Lumen::EthAddr src;
  // An 802.1Q tag (TPID 0x8100, priority 0) with this VLAN id; none: untagged.
  std::optional<std::uint16_t> vlan;
};

// A loopback message with transaction id `transactionId` and, when `dataBytes` is not 0,
// a Data TLV of that many pattern bytes; then the End TLV.
FrameBytes lbmFrame(const L2Header& l2, std::uint8_t level, std::uint32_t transactionId,
               std::size_t dataBytes);

// A linktrace message from `l2.src` (also its original MAC and, with discriminator 0, its
// LTM Egress Identifier) for `target`; then the End TLV. `l2.dst` is normally
// Cfm::ltmGroupAddr(level).
FrameBytes ltmFrame(const L2Header& l2, std::uint8_t level, std::uint32_t transactionId,
               std::uint8_t ttl, const Lumen::EthAddr& target);

// A delay measurement message sent at `txTimeStampf`, its other times zero; a Data TLV as
// lbmFrame's; then the End TLV.
FrameBytes dmmFrame(const L2Header& l2, std::uint8_t level, Cfm::PmTime txTimeStampf,
                    std::size_t dataBytes);

// A synthetic loss message of test `testId` from MEP `sourceMepId`, the `txFcf`th of the
// test; a Data TLV as lbmFrame's; then the End TLV.
FrameBytes slmFrame(const L2Header& l2, std::uint8_t level, std::uint16_t sourceMepId,
                    std::uint32_t testId, std::uint32_t txFcf, std::size_t dataBytes);

struct CcmFields {
  std::uint8_t level = 0;
  std::uint32_t sequenceNumber = 0;
  std::uint16_t mepId = 1;
  std::uint8_t intervalCode = 4;
  // Character strings: the MD name in MD name format 4, the MA name in MA name format 2.
  Cfm::MdName mdName;
  Cfm::MaName maName;
};
// A CCM with the MAID of `fields`, then the End TLV. Names that do not fit the MAID raise
// the CCM type's range errors ("mdNameLen out of range", "maNameLen out of range").
FrameBytes ccmFrame(const L2Header& l2, const CcmFields& fields);

// Why a received frame is not the reply a command waits for; `accepted` when it is.
enum class Mismatch {
  accepted,
  notCfm,         // no CFM EtherType after at most two tags, or shorter than a header
  vlan,           // another VLAN than the request's, or tagged when it was not
  destination,    // not addressed to us
  source,         // not from the station we asked
  opCode,
  level,
  transactionId,
  testId,         // a synthetic loss reply of another test
  mepId,          // a synthetic loss reply to another MEP
  tooShort,       // shorter than the reply's fixed part
  malformedTlv,   // a TLV runs past the end of the frame
};
std::string_view stringValue(Mismatch m);

// What a reply must match. For a loopback reply, `peer` is the station pinged and the
// transaction ids run from `firstTransactionId` for `transactionIds` ids (wrapping).
struct ReplyFilter {
  Lumen::EthAddr self;
  std::optional<Lumen::EthAddr> peer;
  std::optional<std::uint16_t> vlan;
  std::uint8_t level = 0;
  std::uint32_t firstTransactionId = 0;
  std::uint32_t transactionIds = 1;
  // A synthetic loss reply's test and the MEP id its message came from.
  std::uint32_t testId = 0;
  std::uint16_t sourceMepId = 0;
};

struct LoopbackReply {
  Lumen::EthAddr src;
  std::uint32_t transactionId = 0;
  // From the common header through the End TLV, or to the end of the frame without one:
  // padding a link adds to short frames is not counted.
  std::size_t pduBytes = 0;
};

struct LinktraceReply {
  // The MAC address and action of a Reply Ingress or Reply Egress TLV.
  struct Port {
    Lumen::EthAddr mac;
    std::uint8_t action = 0;
  };
  Lumen::EthAddr src;
  std::uint8_t replyTtl = 0;
  std::uint8_t relayAction = 0;
  bool fwdYes = false;
  bool terminalMep = false;
  std::optional<Port> ingress;
  std::optional<Port> egress;
};

// A delay measurement reply: its four times as they came (RxTimeStampb zero), matched to
// its message by TxTimeStampf.
struct DelayReply {
  Lumen::EthAddr src;
  Cfm::DmPdu dmr{0, Cfm::opCodeDmr};
};

struct LossReply {
  Lumen::EthAddr src;
  std::uint16_t responderMepId = 0;
  std::uint32_t txFcf = 0;
  std::uint32_t txFcb = 0;
};

template <class Reply>
struct ReplyMatch {
  Mismatch mismatch = Mismatch::accepted;
  std::optional<Reply> reply;  // set exactly when accepted
};

// One line for any CFM frame: "SRC > DST[, vlan V], level L OPCODE" and, for loopback and
// linktrace frames, their transaction id and, for LTMs and LTRs, TTL and addresses or relay
// action; for synthetic loss frames, their test id and counters. None for a frame that is
// not CFM.
std::optional<std::string> describeFrame(std::span<const std::uint8_t> frame);

ReplyMatch<LoopbackReply> parseLoopbackReply(std::span<const std::uint8_t> frame,
                                         const ReplyFilter& filter);
ReplyMatch<LinktraceReply> parseLinktraceReply(std::span<const std::uint8_t> frame,
                                           const ReplyFilter& filter);
// A DMR from `filter.peer` at the filter's level and VLAN, whatever its TxTimeStampf.
ReplyMatch<DelayReply> parseDelayReply(std::span<const std::uint8_t> frame, const ReplyFilter& filter);
// An SLR from `filter.peer` at the filter's level and VLAN, of `filter.testId`, answering
// `filter.sourceMepId`.
ReplyMatch<LossReply> parseLossReply(std::span<const std::uint8_t> frame, const ReplyFilter& filter);

}  // namespace CfmTool
