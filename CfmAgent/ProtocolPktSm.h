#pragma once
// What every protocol engine shares: the hand-off slot it watches, and the reactor that
// runs the engine's handleProtocolPkt() each time the receive path hands a frame over.

#include <memory>
#include <string>

#include "CfmAgent/PktRecord.h"
#include "platform/kiln/StateMachine.h"

namespace CfmAgent {

class ProtocolPktSm : public Kiln::StateMachine {
 public:
  ~ProtocolPktSm() override;

  const Kiln::PtrConst<ProtocolPkt>& protocolPkt() const { return protocolPkt_; }
  // Handles the frame the slot holds now; the slot must hold one.
  virtual void handleProtocolPkt() = 0;
  void hasNotificationActiveIs(bool active);

 protected:
  // Watches `protocolPkt` from here on; a frame it already holds is for the engine's
  // handleInitialized().
  ProtocolPktSm(std::string name, Kiln::PtrConst<ProtocolPkt> protocolPkt);
  void doPrepareToDie() override;

 private:
  class ProtocolPktReactor;
  Kiln::PtrConst<ProtocolPkt> protocolPkt_;
  std::unique_ptr<ProtocolPktReactor> protocolPktReactor_;
};

}  // namespace CfmAgent
