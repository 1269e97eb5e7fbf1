#include "CfmAgent/ProtocolPktSm.h"

#include "platform/kiln/Errors.h"

namespace CfmAgent {

class ProtocolPktSm::ProtocolPktReactor : public ProtocolPkt::NotifieeConst {
 public:
  ProtocolPktReactor(Kiln::PtrConst<ProtocolPkt> slot, ProtocolPktSm& sm)
      : ProtocolPkt::NotifieeConst(std::move(slot)), sm_(sm) {}
  void onReadableCount() override { sm_.handleProtocolPkt(); }

 private:
  ProtocolPktSm& sm_;
};

ProtocolPktSm::ProtocolPktSm(std::string name, Kiln::PtrConst<ProtocolPkt> protocolPkt, Cfm::OpCode opCode,
                             const Kiln::TraceHandle& trace, const char* typeName)
    : Kiln::StateMachine(std::move(name)),
      protocolPkt_(Kiln::validPtr(std::move(protocolPkt))),
      opCode_(opCode),
      trace_(trace),
      typeName_(typeName),
      protocolPktReactor_(std::make_unique<ProtocolPktReactor>(protocolPkt_, *this)) {}

ProtocolPktSm::~ProtocolPktSm() = default;

void ProtocolPktSm::doPrepareToDie() { protocolPktReactor_.reset(); }

void ProtocolPktSm::hasNotificationActiveIs(bool active) {
  if (protocolPktReactor_) protocolPktReactor_->hasNotificationActiveIs(active);
}

void ProtocolPktSm::handleInitialized() {
  KILN_TRACE(trace_, 8, typeName_ << "::handleInitialized");
  KILN_ASSERT(!initialized());
  if (protocolPkt_->pktMetaData()) handleProtocolPkt();
  initializedIs(true);
}

PktMetaData& ProtocolPktSm::received() const {
  const Kiln::Ptr<PktMetaData>& pktMetaData = protocolPkt_->pktMetaData();
  KILN_ASSERT_TEXT(pktMetaData, "pktMetaData");
  return *pktMetaData;
}

void ProtocolPktSm::handleProtocolPkt() {
  KILN_TRACE(trace_, 8, typeName_ << "::handleProtocolPkt");
  PktMetaData& record = received();
  if (record.cfmHdr()->opCode() == opCode_) handlePkt(record);
}

}  // namespace CfmAgent
