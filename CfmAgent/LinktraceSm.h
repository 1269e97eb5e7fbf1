#pragma once
// The linktrace engine, a MIP for IEEE 802.1ag linktrace: each Linktrace Message handed over
// is checked, then either answered as having reached this bridge, or relayed towards its
// target (the filtering database first, then the MIP CCM database) and answered, or dropped
// when no port other than the one it came in on leads there. The relayed LTM and the LTR
// are new frames, built back to front; the relayed one leaves first.

#include "CfmAgent/LinktracePdu.h"
#include "CfmAgent/PktHelper.h"
#include "CfmAgent/PktRecord.h"
#include "CfmAgent/ProtocolPktSm.h"
#include "platform/intf/Pam.h"
#include "platform/types/Bridging.h"
#include "platform/types/CcmDb.h"

namespace CfmAgent {

// What the relay decided, for the reply: made afresh for every accepted LTM.
class LtrParams : public Kiln::Entity {
 public:
  bool fwdYes() const { return fwdYes_; }
  void fwdYesIs(bool fwdYes) { fwdYes_ = fwdYes; }
  RelayAction relayAction() const { return relayAction_; }
  void relayActionIs(RelayAction action) { relayAction_ = action; }

  // One is made for every LTM: freed blocks are kept for the next, so that a steady stream
  // of LTMs allocates nothing.
  static void* operator new(std::size_t bytes);
  static void operator delete(void* block, std::size_t bytes);

 private:
  bool fwdYes_ = false;
  RelayAction relayAction_;
};

Kiln::Ptr<LtrParams> ltrParamsFactory();

// Where the relay sends an LTM, and why: `egress` is what the deciding lookup found, which
// may be the ingress interface (not usable) or none.
struct RelayDecision {
  Lumen::IntfId egress;
  RelayAction relayAction;
  bool usable = false;
  bool mipCcmDbAsked = false;  // the filtering database gave no usable port, useFdbOnly clear
};

class LinktraceSm : public ProtocolPktSm {
 public:
  // How much longer than its LTM an answer may be: the amplification bound. An LTR puts its
  // 49 bytes of fixed part and own TLVs where the LTM had its 21-byte fixed part, and may
  // add the End TLV the LTM did without; the relayed LTM adds its 11-byte egress identifier
  // and the End TLV. Either may leave with two VLAN tags where the LTM came untagged. Only
  // a TLV type repeated at different lengths could copy more than the LTM carried (every
  // occurrence copies the one the index holds); an answer past the bound is not sent.
  static constexpr std::uint32_t ltrGrowthMax = 37;
  static constexpr std::uint32_t relayGrowthMax = 20;

  LinktraceSm(Kiln::PtrConst<ProtocolPkt> protocolPkt, Kiln::PtrConst<MipCcmDb> mipCcmDb,
              Kiln::Ptr<PktHelper> pktHelper, Kiln::PtrConst<Bridging::Config> brConfig,
              Kiln::PtrConst<Bridging::Status> brStatus,
              Kiln::PtrConst<Interface::EthDevPamCollection> pamCollection);
  ~LinktraceSm() override;

  const Kiln::PtrConst<MipCcmDb>& mipCcmDb() const { return mipCcmDb_; }
  const Kiln::Ptr<PktHelper>& pktHelper() const { return pktHelper_; }
  const Kiln::PtrConst<Bridging::Config>& brConfig() const { return brConfig_; }
  const Kiln::PtrConst<Bridging::Status>& brStatus() const { return brStatus_; }
  const Kiln::PtrConst<Interface::EthDevPamCollection>& pamCollection() const { return pamCollection_; }

  // Builds and sends the LTR for the held LTM.
  void enqueueLTR(const LTMPdu* ltmPdu, Kiln::PtrConst<LtrParams> ltrParams);
  // Relays the held LTM if a usable port leads to its target; true when it is to be
  // answered.
  bool forwardLTM(const LTMPdu* ltmPdu, Kiln::Ptr<LtrParams> ltrParams);
  // The relayed LTM for `egressIntf`, ready to send; null, counted, when it would not fit
  // the egress or the amplification bound.
  Kiln::Ptr<PktMetaData> frameLTM(Lumen::IntfId egressIntf, const LTMPdu* ltmPdu);
  // The relay's choice for an LTM for `targetMac` that came in on `ingress` in `vlan`: the
  // filtering database, then (unless `useFdbOnly`) the MIP CCM database. The operator's
  // explain command asks the same question without a frame.
  RelayDecision relayDecision(const Lumen::EthAddr& targetMac, Bridging::VlanId vlan,
                              Lumen::IntfId ingress, bool useFdbOnly) const;
  // Where the filtering database (configured hosts, then learned hosts) puts `targetMac`
  // in `vlan`; the empty IntfId when nowhere.
  Lumen::IntfId fdbLookup(const Lumen::EthAddr& targetMac, Bridging::VlanId vlan) const;
  // The two halves of fdbLookup, apart for the explain command.
  Lumen::IntfId configuredHostLookup(const Lumen::EthAddr& targetMac, Bridging::VlanId vlan) const;
  Lumen::IntfId learnedHostLookup(const Lumen::EthAddr& targetMac, Bridging::VlanId vlan) const;
  // Where CCMs from `targetMac` in `vlan` came in; the empty IntfId when none did.
  Lumen::IntfId mipCcmDbLookup(const Lumen::EthAddr& targetMac, Bridging::VlanId vlan) const;

 private:
  // Checks an LTM, then answers it and relays it towards its target as the lookups allow.
  void handlePkt(PktMetaData& record) override;
  Lumen::EthAddr bridgeMac() const;
  // The held frame's TLVs an answer copies, in received order, except those `skip`
  // refuses, and their bytes.
  struct TlvCopies {
    Kiln::SmallVector<std::span<const std::uint8_t>, 8> tlvs;
    std::uint64_t bytes = 0;
  };
  template <class Skip>
  static TlvCopies tlvCopies(PktMetaData& from, Skip skip);
  // Prepends the copies and makes them known to `record`.
  static void prependTlvs(const TlvCopies& copies, Lumen::Pkt& pkt, PktMetaData& record);
  // An empty packet with room for an answer of `cfmBytes` out of `egressIntf`: null, the
  // reason counted as `tooBig` on the held frame, when the frame would not fit the egress
  // or would outgrow the held frame by more than `growthMax`.
  Kiln::Ptr<Lumen::Pkt> answerPkt(Lumen::IntfId egressIntf, std::uint64_t cfmBytes, std::uint32_t growthMax,
                                  CounterId tooBig);

  Kiln::PtrConst<MipCcmDb> mipCcmDb_;
  Kiln::Ptr<PktHelper> pktHelper_;
  Kiln::PtrConst<Bridging::Config> brConfig_;
  Kiln::PtrConst<Bridging::Status> brStatus_;
  Kiln::PtrConst<Interface::EthDevPamCollection> pamCollection_;
};

Kiln::Ptr<LinktraceSm> linktraceSmFactory(Kiln::PtrConst<ProtocolPkt> protocolPkt,
                                          Kiln::PtrConst<MipCcmDb> mipCcmDb,
                                          Kiln::Ptr<PktHelper> pktHelper,
                                          Kiln::PtrConst<Bridging::Config> brConfig,
                                          Kiln::PtrConst<Bridging::Status> brStatus,
                                          Kiln::PtrConst<Interface::EthDevPamCollection> pamCollection);

}  // namespace CfmAgent
