#pragma once
// The Loopback Message and Loopback Reply: the common header, a transaction identifier,
// then TLVs. The responder turns a received LBM into its LBR in place, which works because
// the two share this one layout.

#include <cstdint>

#include "platform/cfm/Wire.h"

namespace Cfm {

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
// Layout: each field at its wire offset, checked through the accessors.
static_assert([] {
  LBRPdu p(3, Cfm::opCodeLbr);
  p.transactionIdIs(0x01020304);
  return wireBytes(p) == std::array<std::uint8_t, 8>{0x60, 0x02, 0x00, 0x04, 1, 2, 3, 4};
}());

}  // namespace Cfm
