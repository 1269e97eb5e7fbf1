#pragma once
// The agent's view of the CFM common header and TLV framing: the wire library's overlays
// under the agent's names, and the reference-counted accessor that ties a header to the
// packet it lies in.

#include <cstdint>

#include "platform/cfm/Wire.h"
#include "platform/kiln/Entity.h"
#include "platform/lumen/Pkt.h"

namespace CfmAgent {

using Cfm::CFMCommonHeader;
using Cfm::FirstTlvOffset;
using Cfm::MdLevelVersion;
using Cfm::TlvType;
using Cfm::TlvTypeInstance;
using Cfm::TypeLength;
using Cfm::minFirstTlvOffset;
using Cfm::wireBytes;
using enum Cfm::TlvType;

// A reference-counted accessor over a common header at `offset` in a packet's front bytes.
// The packet must hold the whole header there: a caller error otherwise, failing
// "( offset_ + sizeof( CFMCommonHeader ) ) <= pkt_->frontBytes()".
class CFMCommonHeaderWrapper : public Kiln::Entity {
 public:
  CFMCommonHeaderWrapper(Kiln::Ptr<Lumen::Pkt> pkt, std::uint32_t offset);

  const Kiln::Ptr<Lumen::Pkt>& pkt() const { return pkt_; }
  std::uint32_t offset() const { return offset_; }
  CFMCommonHeader* header() const { return header_; }
  // Points `header` at the packet's bytes again, after a check that they hold it.
  void handleHeader();

  std::uint8_t opCode() const { return header_->opCode(); }
  std::uint8_t flag() const { return header_->flag(); }
  std::uint8_t firstTlvOffset() const { return header_->firstTlvOffset(); }
  std::uint8_t mdLevel() const { return header_->mdLevel(); }
  std::uint8_t version() const { return header_->version(); }
  void mdLevelIs(std::uint8_t level) { header_->mdLevelIs(level); }
  void versionIs(std::uint8_t version) { header_->versionIs(version); }

 private:
  Kiln::Ptr<Lumen::Pkt> pkt_;
  std::uint32_t offset_;
  CFMCommonHeader* header_ = nullptr;
};

Kiln::Ptr<CFMCommonHeaderWrapper> cFMCommonHeaderWrapperFactory(Kiln::Ptr<Lumen::Pkt> pkt,
                                                                std::uint32_t offset);

}  // namespace CfmAgent
