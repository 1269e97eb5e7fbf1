#pragma once
// The Loopback Message and Reply under the agent's names (the wire library's overlays), and
// the reference-counted accessor that ties an LBM to the packet it lies in.

#include <cstdint>

#include "CfmAgent/CfmPdu.h"
#include "platform/cfm/LoopbackWire.h"

namespace CfmAgent {

using Cfm::LBMPdu;
using Cfm::LBRPdu;

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
