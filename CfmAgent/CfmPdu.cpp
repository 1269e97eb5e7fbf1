#include "CfmAgent/CfmPdu.h"

#include <utility>

#include "platform/kiln/Errors.h"

namespace CfmAgent {

CFMCommonHeaderWrapper::CFMCommonHeaderWrapper(Kiln::Ptr<Lumen::Pkt> pkt, std::uint32_t offset)
    : pkt_(std::move(pkt)), offset_(offset) {
  handleHeader();
}

void CFMCommonHeaderWrapper::handleHeader() {
  KILN_ASSERT(pkt_);
  header_ = Lumen::overlayAt<CFMCommonHeader>(pkt_->frontSpan(), offset_);
  KILN_ASSERT_TEXT(header_, "( offset_ + sizeof( CFMCommonHeader ) ) <= pkt_->frontBytes()");
}

Kiln::Ptr<CFMCommonHeaderWrapper> cFMCommonHeaderWrapperFactory(Kiln::Ptr<Lumen::Pkt> pkt,
                                                                std::uint32_t offset) {
  return Kiln::make<CFMCommonHeaderWrapper>(std::move(pkt), offset);
}

}  // namespace CfmAgent
