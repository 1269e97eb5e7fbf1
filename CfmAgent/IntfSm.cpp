#include "CfmAgent/IntfSm.h"

#include <vector>

#include "platform/kiln/Errors.h"
#include "platform/kiln/Trace.h"

namespace CfmAgent {

namespace {

Kiln::TraceHandle& trace() {
  static Kiln::TraceHandle& handle = Kiln::traceHandle("CfmIntf");
  return handle;
}

}  // namespace

class IntfSm::StatusReactor : public Interface::AllIntfStatusDir::NotifieeConst {
 public:
  StatusReactor(Kiln::PtrConst<Interface::AllIntfStatusDir> dir, IntfSm& sm)
      : Interface::AllIntfStatusDir::NotifieeConst(std::move(dir)), sm_(sm) {}
  void onIntfStatus(Lumen::IntfId intf) override { sm_.handleIntf(intf); }

 private:
  IntfSm& sm_;
};

IntfSm::IntfSm(Kiln::PtrConst<Interface::AllIntfStatusDir> allIntfStatusDir,
               Kiln::Ptr<Interface::PamDesiredIntfDir> pamDesiredIntfDir)
    : Kiln::StateMachine("intfSm"),
      allIntfStatusDir_(Kiln::validPtr(std::move(allIntfStatusDir))),
      pamDesiredIntfDir_(Kiln::validPtr(std::move(pamDesiredIntfDir))),
      statusReactor_(std::make_unique<StatusReactor>(allIntfStatusDir_, *this)) {
  handleInitialized();
}

IntfSm::~IntfSm() = default;

Kiln::Ptr<IntfSm> intfSmFactory(Kiln::PtrConst<Interface::AllIntfStatusDir> allIntfStatusDir,
                                Kiln::Ptr<Interface::PamDesiredIntfDir> pamDesiredIntfDir) {
  return Kiln::make<IntfSm>(std::move(allIntfStatusDir), std::move(pamDesiredIntfDir));
}

void IntfSm::hasNotificationActiveIs(bool active) { statusReactor_->hasNotificationActiveIs(active); }

void IntfSm::handleInitialized() {
  KILN_TRACE(trace(), 8, "IntfSm::handleInitialized");
  KILN_ASSERT(!initialized());
  // Entries left by an earlier run for interfaces that are gone.
  std::vector<Lumen::IntfId> stale;
  for (const auto& [intf, desired] : pamDesiredIntfDir_->intfDesired()) {
    if (!allIntfStatusDir_->intfStatus(intf)) stale.push_back(intf);
  }
  for (auto intf : stale) pamDesiredIntfDir_->intfDesiredDel(intf);
  for (const auto& [intf, status] : allIntfStatusDir_->intfStatus()) handleIntf(intf);
  initializedIs(true);
}

void IntfSm::handleIntf(Lumen::IntfId intf) {
  KILN_TRACE(trace(), 8, "IntfSm::handleIntf( " << intf << " )");
  if (!Lumen::EthIntfId::isEthIntfId(intf) && !Lumen::PortChannelIntfId::isPortChannelIntfId(intf)) {
    return;
  }
  if (allIntfStatusDir_->intfStatus(intf)) {
    pamDesiredIntfDir_->intfDesiredIs(intf, true);
  } else {
    pamDesiredIntfDir_->intfDesiredDel(intf);
  }
}

}  // namespace CfmAgent
