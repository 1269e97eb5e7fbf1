#include "CfmAgent/ProtocolPktSm.h"

namespace CfmAgent {

class ProtocolPktSm::ProtocolPktReactor : public ProtocolPkt::NotifieeConst {
 public:
  ProtocolPktReactor(Kiln::PtrConst<ProtocolPkt> slot, ProtocolPktSm& sm)
      : ProtocolPkt::NotifieeConst(std::move(slot)), sm_(sm) {}
  void onReadableCount() override { sm_.handleProtocolPkt(); }

 private:
  ProtocolPktSm& sm_;
};

ProtocolPktSm::ProtocolPktSm(std::string name, Kiln::PtrConst<ProtocolPkt> protocolPkt)
    : Kiln::StateMachine(std::move(name)),
      protocolPkt_(Kiln::validPtr(std::move(protocolPkt))),
      protocolPktReactor_(std::make_unique<ProtocolPktReactor>(protocolPkt_, *this)) {}

ProtocolPktSm::~ProtocolPktSm() = default;

void ProtocolPktSm::doPrepareToDie() { protocolPktReactor_.reset(); }

void ProtocolPktSm::hasNotificationActiveIs(bool active) {
  if (protocolPktReactor_) protocolPktReactor_->hasNotificationActiveIs(active);
}

}  // namespace CfmAgent
