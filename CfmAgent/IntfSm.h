#pragma once
// Keeps the desired-interface directory equal to the Ethernet and port-channel interfaces
// that have a status entry, so that the packet-access manager opens a socket on exactly
// those. Link and operational state play no part: a socket on a down interface costs
// nothing and is ready when the link comes up.

#include <memory>

#include "platform/intf/IntfStatus.h"
#include "platform/kiln/StateMachine.h"

namespace CfmAgent {

class IntfSm : public Kiln::StateMachine {
 public:
  IntfSm(Kiln::PtrConst<Interface::AllIntfStatusDir> allIntfStatusDir,
         Kiln::Ptr<Interface::PamDesiredIntfDir> pamDesiredIntfDir);
  ~IntfSm() override;

  const Kiln::PtrConst<Interface::AllIntfStatusDir>& allIntfStatusDir() const {
    return allIntfStatusDir_;
  }
  const Kiln::Ptr<Interface::PamDesiredIntfDir>& pamDesiredIntfDir() const {
    return pamDesiredIntfDir_;
  }

  void handleIntf(Lumen::IntfId intf);
  void hasNotificationActiveIs(bool active);

 private:
  class StatusReactor;
  void handleInitialized();

  Kiln::PtrConst<Interface::AllIntfStatusDir> allIntfStatusDir_;
  Kiln::Ptr<Interface::PamDesiredIntfDir> pamDesiredIntfDir_;
  std::unique_ptr<StatusReactor> statusReactor_;
};

Kiln::Ptr<IntfSm> intfSmFactory(Kiln::PtrConst<Interface::AllIntfStatusDir> allIntfStatusDir,
                                Kiln::Ptr<Interface::PamDesiredIntfDir> pamDesiredIntfDir);

}  // namespace CfmAgent
