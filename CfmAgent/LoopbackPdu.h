#pragma once
// The Loopback Message and Loopback Reply: the common header, a transaction identifier,
// then TLVs. The responder turns a received LBM into its LBR in place, which works because
// the two share this one layout.

#include <cstdint>

#include "CfmAgent/CfmPdu.h"
#include "platform/kiln/Entity.h"
#include "platform/lumen/Pkt.h"

namespace CfmAgent {

#pragma pack(push, 1)

class LBMPdu : public CFMCommonHeader {
 public:
  // Flags 0, first TLV offset 4, transaction id 0.
  constexpr LBMPdu(std::uint8_t mdLevel, std::uint8_t opCode) : CFMCommonHeader(mdLevel, opCode) {
    firstTlvOffsetIs(FirstTlvOffset::firstTlvOffsetLbm);
  }

  constexpr std::uint32_t transactionId() const { return transactionId_.value(); }
  constexpr void transactionIdIs(std::uint32_t id) { transactionId_.valueIs(id); }

 private:
  Lumen::NetU32 transactionId_;
};

class LBRPdu : public LBMPdu {
 public:
  constexpr LBRPdu(std::uint8_t mdLevel, std::uint8_t opCode) : LBMPdu(mdLevel, opCode) {
    firstTlvOffsetIs(FirstTlvOffset::firstTlvOffsetLbr);
  }
};

#pragma pack(pop)

static_assert(sizeof(LBMPdu) == 8 && alignof(LBMPdu) == 1);
static_assert(sizeof(LBRPdu) == sizeof(LBMPdu));
// The receive path accepts no LBM or LBR too short for its overlay.
static_assert(sizeof(LBMPdu) == sizeof(CFMCommonHeader) + minFirstTlvOffset(Cfm::opCodeLbm));
static_assert(sizeof(LBRPdu) == sizeof(CFMCommonHeader) + minFirstTlvOffset(Cfm::opCodeLbr));

// A reference-counted accessor over the LBM at `offset` in a packet's front bytes. The
// packet must hold the fixed part there: a caller error otherwise, failing
// "( offset_ + sizeof( LBMPdu ) ) <= pkt_->frontBytes()".
class LBMPduWrapper : public Kiln::Entity {
 public:
  LBMPduWrapper(Kiln::Ptr<Lumen::Pkt> pkt, std::uint32_t offset);

  const Kiln::Ptr<Lumen::Pkt>& pkt() const { return pkt_; }
  std::uint32_t offset() const { return offset_; }
  LBMPdu* header() const { return header_; }
  // Points `header` at the packet's bytes again, after a check that they hold it.
  void handleHeader();

 private:
  Kiln::Ptr<Lumen::Pkt> pkt_;
  std::uint32_t offset_;
  LBMPdu* header_ = nullptr;
};

Kiln::Ptr<LBMPduWrapper> lBMPduWrapperFactory(Kiln::Ptr<Lumen::Pkt> pkt, std::uint32_t offset);

}  // namespace CfmAgent
