#pragma once
// The receive side of packet access: one PamIntfSm per socket in the socket collection,
// each taking its socket's frames one at a time, classifying them and handing each valid
// CFM frame to the engine of its protocol.

#include <memory>

#include "CfmAgent/PktHelper.h"
#include "CfmAgent/PktRecord.h"
#include "platform/intf/Pam.h"
#include "platform/kiln/Collection.h"
#include "platform/kiln/StateMachine.h"
#include "platform/types/Bridging.h"
#include "platform/types/CfmConfig.h"

namespace CfmAgent {

class PamSm;

class PamIntfSm : public Kiln::StateMachine {
 public:
  // `pamSm` owns this machine and outlives it.
  PamIntfSm(Lumen::IntfId intfId, Kiln::Ptr<Interface::EthDevPam> pam, PamSm* pamSm);
  ~PamIntfSm() override;

  Lumen::IntfId intfId() const { return intfId_; }
  const Kiln::Ptr<Interface::EthDevPam>& pam() const { return pam_; }
  PamSm* pamSm() const { return pamSm_; }
  const Kiln::Ptr<PktHelper>& pktHelper() const;

  // Takes one waiting frame, if any, and processes it.
  void handlePamReadable();
  // Classifies one received frame: counted and dropped, or handed to its protocol's slot.
  void processPkt(const Kiln::Ptr<Lumen::Pkt>& pkt);
  void hasNotificationActiveIs(bool active);

 private:
  class PamReactor;
  struct RxFrame;
  void handleInitialized();
  void doPrepareToDie() override;
  // The stages of processPkt, in frame order. Each takes its headers from the begin offset
  // on and returns false when it has counted and dropped the frame.
  bool processEthHdr(RxFrame& frame);
  bool processVlanTags(RxFrame& frame);
  bool processCfmHdr(RxFrame& frame);

  Lumen::IntfId intfId_;
  Kiln::Ptr<Interface::EthDevPam> pam_;
  PamSm* pamSm_;
  std::unique_ptr<PamReactor> pamReactor_;
};

Kiln::Ptr<PamIntfSm> pamIntfSmFactory(Lumen::IntfId intfId, Kiln::Ptr<Interface::EthDevPam> pam,
                                      PamSm* pamSm);

class PamSm : public Kiln::StateMachine {
 public:
  PamSm(Kiln::Ptr<Interface::EthDevPamCollection> pamCollection,
        Kiln::Ptr<ProtocolPktCollection> protocolPktCollection, Kiln::Ptr<PktHelper> pktHelper,
        Kiln::PtrConst<Config> config, Kiln::PtrConst<Bridging::Config> brConfig);
  ~PamSm() override;

  const Kiln::Ptr<Interface::EthDevPamCollection>& pamCollection() const { return pamCollection_; }
  const Kiln::Ptr<ProtocolPktCollection>& protocolPktCollection() const {
    return protocolPktCollection_;
  }
  const Kiln::Ptr<PktHelper>& pktHelper() const { return pktHelper_; }
  const Kiln::PtrConst<Config>& config() const { return config_; }
  const Kiln::PtrConst<Bridging::Config>& brConfig() const { return brConfig_; }
  // Asked for every frame, so that a configuration change acts on the next one.
  bool defaultMipConfigured() const;

  Kiln::Ptr<PamIntfSm> pamIntfSm(Lumen::IntfId intf) const { return pamIntfSm_.find(intf); }
  const Kiln::Collection<Lumen::IntfId, PamIntfSm>& pamIntfSm() const { return pamIntfSm_; }
  // The machine of `intf`, built with `pam` if there is none; a machine built with another
  // socket is refused.
  Kiln::Ptr<PamIntfSm> pamIntfSmIs(Lumen::IntfId intf, Kiln::Ptr<Interface::EthDevPam> pam);
  void pamIntfSmDel(Lumen::IntfId intf) { pamIntfSm_.del(intf); }

  void handlePam(Lumen::IntfId intf);
  void hasNotificationActiveIs(bool active);

 private:
  class CollectionReactor;
  void handleInitialized();
  void doPrepareToDie() override;

  Kiln::Ptr<Interface::EthDevPamCollection> pamCollection_;
  Kiln::Ptr<ProtocolPktCollection> protocolPktCollection_;
  Kiln::Ptr<PktHelper> pktHelper_;
  Kiln::PtrConst<Config> config_;
  Kiln::PtrConst<Bridging::Config> brConfig_;
  Kiln::Collection<Lumen::IntfId, PamIntfSm> pamIntfSm_;
  std::unique_ptr<CollectionReactor> collectionReactor_;
};

Kiln::Ptr<PamSm> pamSmFactory(Kiln::Ptr<Interface::EthDevPamCollection> pamCollection,
                              Kiln::Ptr<ProtocolPktCollection> protocolPktCollection,
                              Kiln::Ptr<PktHelper> pktHelper, Kiln::PtrConst<Config> config,
                              Kiln::PtrConst<Bridging::Config> brConfig);

}  // namespace CfmAgent
