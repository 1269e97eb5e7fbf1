#include "CfmAgent/LoopbackSm.h"

#include "CfmAgent/LoopbackPdu.h"
#include "platform/kiln/Trace.h"

namespace CfmAgent {

namespace {

Kiln::TraceHandle& trace() {
  static Kiln::TraceHandle& handle = Kiln::traceHandle("CfmLoopback");
  return handle;
}

}  // namespace

LoopbackSm::LoopbackSm(Kiln::PtrConst<ProtocolPkt> protocolPkt, Kiln::Ptr<PktHelper> pktHelper,
                       Kiln::PtrConst<Bridging::Config> brConfig)
    : ProtocolPktSm("loopbackSm", std::move(protocolPkt), Cfm::opCodeLbm, trace(), "LoopbackSm"),
      pktHelper_(Kiln::validPtr(std::move(pktHelper))),
      brConfig_(std::move(brConfig)) {
  handleInitialized();
}

LoopbackSm::~LoopbackSm() = default;

Kiln::Ptr<LoopbackSm> loopbackSmFactory(Kiln::PtrConst<ProtocolPkt> protocolPkt,
                                        Kiln::Ptr<PktHelper> pktHelper,
                                        Kiln::PtrConst<Bridging::Config> brConfig) {
  return Kiln::make<LoopbackSm>(std::move(protocolPkt), std::move(pktHelper), std::move(brConfig));
}

void LoopbackSm::handlePkt(PktMetaData& record) {
  Lumen::EthHdr& ethHdr = *record.ethHdr();
  // Without bridging configuration the bridge has no address, and no LBM is for it.
  const Lumen::EthAddr bridgeMac = brConfig_ ? brConfig_->bridgeMacAddr() : Lumen::EthAddr();
  if (ethHdr.dst() != bridgeMac) {
    return record.drop(trace(), CounterId::inErrorLbmDstMacMismatch_, "dstMac", ethHdr.dst());
  }
  const auto& pkt = record.pkt();
  if (pkt->offsetBytes() < sizeof(LBMPdu)) {
    return record.drop(trace(), CounterId::inErrorPduTooShort_, "offsetBytes", pkt->offsetBytes());
  }
  pkt->beginOffsetInc(std::int16_t(sizeof(LBMPdu)));
  // The reply is as long as the message and leaves where it came in, so it fits unless the
  // far end sent more than this interface's MTU allows, or the MTU has been lowered since.
  const std::uint32_t maxBytes =
      pktHelper_->maxFrameBytes(record.intf(), record.eth8021QHdr().size(), ethHdr.typeOrLen());
  if (pkt->frontBytes() > maxBytes) {
    return record.drop(trace(), CounterId::debugReplyTooBig_, "frameBytes",
                       std::to_string(pkt->frontBytes()) + " > " + std::to_string(maxBytes));
  }

  // The reply is the message's own bytes with its addresses swapped, opcode 2 and version
  // 0: tags, flags, transaction identifier and TLVs go back as they came.
  ethHdr.dstIs(ethHdr.src());
  ethHdr.srcIs(bridgeMac);
  CFMCommonHeader& cfmHdr = *record.cfmHdr();
  cfmHdr.opCodeIs(Cfm::opCodeLbr);
  cfmHdr.versionIs(0);

  record.ingressIs(false);
  record.opCodeIs(Cfm::opCodeLbr);
  record.sendPktCopyIs(true);
  record.sendPkt();
}

}  // namespace CfmAgent
