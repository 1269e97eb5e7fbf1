#pragma once
// One local MEP's Y.1731 responder, as a switch's hardware runs it beside the CCMs: a DMM
// gets its DMR with the times it was received and answered, an SLM its SLR with the MEP's
// count of the SLRs of that test, and a 1DM is taken and counted. The caller has matched
// the frame to the MEP (interface, VLAN, level, address); the responder checks the PDU.
//
// A reply keeps the message's PDU whole, TLVs and all, behind the MEP's own Ethernet header
// and egress tags, written into a buffer of the responder's: answering allocates nothing.

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "platform/ale/CcmFrame.h"
#include "platform/cfm/PmWire.h"
#include "platform/lumen/Eth.h"
#include "platform/lumen/Pkt.h"
#include "platform/types/Bridging.h"
#include "platform/types/CfmAleTypes.h"

namespace SoftAle {

// CLOCK_REALTIME, the clock Y.1731's times are read from here.
Cfm::PmTime pmTimeNow();

class PmResponder {
 public:
  // The SLM tests a MEP keeps counts for at once; a new test past them takes the place of
  // the one heard from the longest ago.
  static constexpr std::size_t maxTests = 64;
  // No frame the layer sends is longer: the longest any port here takes.
  static constexpr std::size_t maxFrameBytes = Lumen::Pkt::maxBytes;

  PmResponder(Cfm::MdLevel level, Cfm::MepId mepId);

  // What the MEP's frames carry in front of the PDU: its address and its port's tags.
  void senderIs(const Lumen::EthAddr& mac, const Bridging::EgressTags& tags);

  // The reply to `frame`, a DMM, SLM or 1DM for this MEP received at `rxTime`: the whole
  // frame to send, valid until the next call; empty for a 1DM and for what is refused.
  // The DMR's TxTimeStampb is read last, just before the reply is handed back.
  std::span<const std::uint8_t> answer(const CfmFrame& frame, Cfm::PmTime rxTime);
  // Whether the egress took the last reply: counted as sent (dmrOut, slrOut) or not.
  void replySent(bool sent);
  // Where the last reply carries the time it leaves (a DMR's TxTimeStampb), for the egress
  // to write again as late as it can; 0 for a reply without one.
  std::size_t txStampAt() const { return txStampAt_; }

  const Cfm::PmResponderCounters& counters() const { return counters_; }

 private:
  struct Test {
    std::uint16_t sourceMepId = 0;
    std::uint32_t testId = 0;
    std::uint32_t slrs = 0;   // sent for it: the SLRs' TxFCb
    std::uint64_t heard = 0;  // the responder's SLM count when it was last heard
  };
  std::uint32_t nextTxFcb(std::uint16_t sourceMepId, std::uint32_t testId);

  Cfm::MdLevel level_;
  Cfm::MepId mepId_;
  Lumen::EthAddr mac_;
  Bridging::EgressTags tags_;
  std::vector<std::uint8_t> buffer_;
  std::vector<Test> tests_;
  Cfm::PmResponderCounters counters_;
  std::uint64_t* lastReply_ = nullptr;  // the counter of the reply answer() last built
  std::size_t txStampAt_ = 0;
};

}  // namespace SoftAle
