#include "CfmAgent/LoopbackPdu.h"

#include <utility>

#include "platform/kiln/Errors.h"

namespace CfmAgent {

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
