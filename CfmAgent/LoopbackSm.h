#pragma once
// The loopback responder: a Loopback Message addressed to the bridge is turned, in its own
// bytes, into the Loopback Reply and sent back out of the interface it came in on, with
// its VLAN tags, transaction identifier and TLVs as received. Nothing is kept between
// frames.

#include "CfmAgent/PktHelper.h"
#include "CfmAgent/PktRecord.h"
#include "CfmAgent/ProtocolPktSm.h"
#include "platform/types/Bridging.h"

namespace CfmAgent {

class LoopbackSm : public ProtocolPktSm {
 public:
  LoopbackSm(Kiln::PtrConst<ProtocolPkt> protocolPkt, Kiln::Ptr<PktHelper> pktHelper,
             Kiln::PtrConst<Bridging::Config> brConfig);
  ~LoopbackSm() override;

  const Kiln::Ptr<PktHelper>& pktHelper() const { return pktHelper_; }
  const Kiln::PtrConst<Bridging::Config>& brConfig() const { return brConfig_; }

 private:
  // Answers an LBM addressed to the bridge.
  void handlePkt(PktMetaData& record) override;

  Kiln::Ptr<PktHelper> pktHelper_;
  Kiln::PtrConst<Bridging::Config> brConfig_;
};

Kiln::Ptr<LoopbackSm> loopbackSmFactory(Kiln::PtrConst<ProtocolPkt> protocolPkt,
                                        Kiln::Ptr<PktHelper> pktHelper,
                                        Kiln::PtrConst<Bridging::Config> brConfig);

}  // namespace CfmAgent
