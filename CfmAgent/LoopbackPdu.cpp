#include "CfmAgent/LoopbackPdu.h"

#include <utility>

#include "platform/kiln/Errors.h"

namespace CfmAgent {

// Layout: each field at its wire offset, checked through the accessors.
static_assert([] {
  LBRPdu p(3, Cfm::opCodeLbr);
  p.transactionIdIs(0x01020304);
  return wireBytes(p) == std::array<std::uint8_t, 8>{0x60, 0x02, 0x00, 0x04, 1, 2, 3, 4};
}());

LBMPduWrapper::LBMPduWrapper(Kiln::Ptr<Lumen::Pkt> pkt, std::uint32_t offset)
    : pkt_(std::move(pkt)), offset_(offset) {
  handleHeader();
}

void LBMPduWrapper::handleHeader() {
  KILN_ASSERT(pkt_);
  header_ = Lumen::overlayAt<LBMPdu>(pkt_->frontSpan(), offset_);
  KILN_ASSERT_TEXT(header_, "( offset_ + sizeof( LBMPdu ) ) <= pkt_->frontBytes()");
}

Kiln::Ptr<LBMPduWrapper> lBMPduWrapperFactory(Kiln::Ptr<Lumen::Pkt> pkt, std::uint32_t offset) {
  return Kiln::make<LBMPduWrapper>(std::move(pkt), offset);
}

}  // namespace CfmAgent
