#pragma once
// The agent's one factory of frame records, and the layer-2 encapsulation of the frames it
// originates.

#include <cstdint>

#include "CfmAgent/CfmAgentTypes.h"
#include "platform/types/Bridging.h"

namespace CfmAgent {

class PktHelper : public Kiln::Entity {
 public:
  PktHelper(Kiln::Ptr<Interface::EthDevPamCollection> pamCollection,
            Kiln::Ptr<CounterHelper> counterHelper);

  const Kiln::Ptr<Interface::EthDevPamCollection>& pamCollection() const { return pamCollection_; }
  const Kiln::Ptr<CounterHelper>& counterHelper() const { return counterHelper_; }
  // The last identifier handed out; the first record of a run gets 1.
  std::uint32_t pktId() const { return pktId_; }

  // A record with the next identifier and a counting helper of its own. A received frame
  // is counted `in` at once (at no level, opcode 0).
  Kiln::Ptr<PktMetaData> newPktMetaData(Kiln::Ptr<Lumen::Pkt> pkt, Lumen::IntfId intf, bool ingress);

  // Prepends the VLAN tags and the Ethernet header that `intf`'s switchport configuration
  // calls for to `pkt`, whose front is the CFM common header, and records them in `record`.
  // False, and nothing prepended, when `intf` has no switchport configuration: the frame
  // has nowhere defined to go, and sendPkt drops it (outErrorNoPam) if it is sent anyway.
  bool encapL2Layer(const Kiln::Ptr<Lumen::Pkt>& pkt, PktMetaData& record, Lumen::IntfId intf,
                    const Lumen::EthAddr& dstMac, const Lumen::EthAddr& srcMac,
                    Lumen::VlanId vlan, const Kiln::PtrConst<Bridging::Config>& brConfig);

 private:
  Kiln::Ptr<Interface::EthDevPamCollection> pamCollection_;
  Kiln::Ptr<CounterHelper> counterHelper_;
  std::uint32_t pktId_ = 0;
};

}  // namespace CfmAgent
