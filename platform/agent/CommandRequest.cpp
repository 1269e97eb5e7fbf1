#include "platform/agent/CommandRequest.h"

#include <exception>
#include <vector>

namespace Agent {

void CommandRequest::resultIs(State state, std::string error) {
  if (state == state_ && error == error_) return;
  state_ = state;
  error_ = std::move(error);
  notifieeList_.notify(&NotifieeConst::onState);
}

class AgentCommandRequestDirSm::DirReactor : public Kiln::Dir::NotifieeConst {
 public:
  DirReactor(Kiln::PtrConst<Kiln::Dir> dir, AgentCommandRequestDirSm& sm)
      : Kiln::Dir::NotifieeConst(std::move(dir)), sm_(sm) {}
  void onEntity(const std::string& name) override { sm_.handleRequest(name); }

 private:
  AgentCommandRequestDirSm& sm_;
};

AgentCommandRequestDirSm::AgentCommandRequestDirSm(Kiln::EventLoop*, Kiln::Ptr<Kiln::Dir> requestDir)
    : Kiln::StateMachine("cliRequestDirSm"), requestDir_(std::move(requestDir)) {
  if (requestDir_) reactor_ = std::make_unique<DirReactor>(requestDir_, *this);
  handleInitialized();
}

AgentCommandRequestDirSm::~AgentCommandRequestDirSm() = default;

void AgentCommandRequestDirSm::hasNotificationActiveIs(bool active) {
  if (reactor_) reactor_->hasNotificationActiveIs(active);
}

void AgentCommandRequestDirSm::handleInitialized() {
  KILN_ASSERT(!initialized());
  if (requestDir_) {
    std::vector<std::string> waiting;
    for (const auto& [name, entity] : requestDir_->entity()) waiting.push_back(name);
    for (const auto& name : waiting) handleRequest(name);
  }
  initializedIs(true);
}

void AgentCommandRequestDirSm::agentCommandCallbackIs(Kiln::Ptr<AgentCommandCallback> callback) {
  Kiln::validPtr(callback);
  callbacks_[callback->commandType()] = callback;
  if (!requestDir_) return;
  std::vector<std::string> waiting;
  for (const auto& [name, entity] : requestDir_->entity()) waiting.push_back(name);
  for (const auto& name : waiting) handleRequest(name);
}

void AgentCommandRequestDirSm::handleRequest(const std::string& name) {
  auto request = Kiln::ptrCast<CommandRequest>(requestDir_->entity(name));
  if (!request || request->state() != CommandRequest::State::pending) return;
  auto callback = callbacks_.find(request->commandType());
  // A request may arrive before its agent registered: it waits for the callback.
  if (callback == callbacks_.end()) return;
  try {
    callback->second->handleCommand(request->socket(), request->command());
    request->resultIs(CommandRequest::State::done, "");
  } catch (const std::exception& e) {
    request->resultIs(CommandRequest::State::failed, e.what());
  }
}

}  // namespace Agent
