#pragma once
// What every protocol engine shares: the hand-off slot it watches, and the reactor that
// hands the engine each frame of its opcode as the receive path passes it over.

#include <memory>
#include <string>

#include "CfmAgent/PktRecord.h"
#include "platform/kiln/StateMachine.h"

namespace CfmAgent {

class ProtocolPktSm : public Kiln::StateMachine {
 public:
  ~ProtocolPktSm() override;

  const Kiln::PtrConst<ProtocolPkt>& protocolPkt() const { return protocolPkt_; }
  // The one opcode of the slot's two that this engine handles.
  Cfm::OpCode opCode() const { return opCode_; }
  // Gives the frame the slot holds now (it must hold one) to handlePkt() if it carries the
  // engine's opcode. The slot's other opcode ends here, counted `in` by the receive path
  // and no more: this bridge originates nothing those frames could answer.
  void handleProtocolPkt();
  void hasNotificationActiveIs(bool active);

 protected:
  // Watches `protocolPkt` from here on; a frame it already holds is for handleInitialized().
  // Entry traces go to `trace` under `typeName`.
  ProtocolPktSm(std::string name, Kiln::PtrConst<ProtocolPkt> protocolPkt, Cfm::OpCode opCode,
                const Kiln::TraceHandle& trace, const char* typeName);
  void doPrepareToDie() override;
  // The engine's last step of construction: a frame the slot holds already is handled now.
  void handleInitialized();
  // One frame of the engine's opcode, held by the slot until this returns.
  virtual void handlePkt(PktMetaData& record) = 0;
  // The frame the slot holds; it must hold one.
  PktMetaData& received() const;

 private:
  class ProtocolPktReactor;
  Kiln::PtrConst<ProtocolPkt> protocolPkt_;
  Cfm::OpCode opCode_;
  const Kiln::TraceHandle& trace_;
  const char* typeName_;
  std::unique_ptr<ProtocolPktReactor> protocolPktReactor_;
};

}  // namespace CfmAgent
