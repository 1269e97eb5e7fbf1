#pragma once
// The agent's one factory of frame records, and the layer-2 encapsulation of the frames it
// originates.

#include <cstdint>

#include "CfmAgent/PktRecord.h"
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

  // The longest frame with `tags` VLAN tags, the outer one `outerTpid`, that `intf` takes,
  // as its socket says (its MTU plus the Ethernet header and the tags its device allows
  // for). Without a socket, the longest frame a Pkt holds: nothing leaves there, and
  // sendPkt counts why.
  std::uint32_t maxFrameBytes(Lumen::IntfId intf, std::size_t tags, std::uint16_t outerTpid) const;
  // What encapL2Layer will put in front of a CFM PDU sent out of `intf` in `vlan`, and the
  // longest frame `intf` then takes, for a frame to be measured before it is built.
  struct Egress {
    std::uint32_t l2Bytes = 0;
    std::uint32_t maxFrameBytes = Lumen::Pkt::maxBytes;
  };
  Egress egress(Lumen::IntfId intf, Lumen::VlanId vlan, const Kiln::PtrConst<Bridging::Config>& brConfig) const;

  // Prepends the VLAN tags and the Ethernet header that `intf`'s switchport configuration
  // calls for to `pkt`, whose front is the CFM common header, and records them in `record`.
  // False, and nothing prepended, when `intf` has no switchport configuration: the frame
  // has nowhere defined to go, and sendPkt drops it (outErrorNoPam) if it is sent anyway.
  // Also false when the frame would outgrow a Pkt; a caller that measured it with egress()
  // and gave it room never sees that, nor the packet move under its pointers.
  bool encapL2Layer(const Kiln::Ptr<Lumen::Pkt>& pkt, PktMetaData& record, Lumen::IntfId intf,
                    const Lumen::EthAddr& dstMac, const Lumen::EthAddr& srcMac,
                    Lumen::VlanId vlan, const Kiln::PtrConst<Bridging::Config>& brConfig);

 private:
  Kiln::Ptr<Interface::EthDevPamCollection> pamCollection_;
  Kiln::Ptr<CounterHelper> counterHelper_;
  std::uint32_t pktId_ = 0;
};

}  // namespace CfmAgent
