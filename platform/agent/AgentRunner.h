#pragma once
// The runner core: loads an agent library, builds the agent by type name, and drives it
// through start-up on the event loop.

#include <cstdint>
#include <string>

#include "platform/agent/CAgent.h"
#include "platform/kiln/EventLoop.h"

namespace AgentBase {

class AgentRunner {
 public:
  AgentRunner(Kiln::Ptr<Orbis::EntityManager> entityManager, std::uint32_t cellId = 0);
  ~AgentRunner();

  // Loads a shared library (its types register as it loads). Libraries stay loaded for
  // the process's life: entities they made may outlive any one agent. A failure raises
  // std::runtime_error with the loader's message.
  void libraryIs(const std::string& path);

  // Builds the agent of type `typeName` named `name`, gives it the entity manager and its
  // cell, runs doInit, and runs the loop until the mounts are complete and
  // doMountsComplete has run. An unknown type or a type that is no agent raises
  // std::runtime_error; so does an agent whose mounts never complete.
  Kiln::Ptr<CAgent> agentIs(const std::string& typeName, const std::string& name);
  const Kiln::Ptr<CAgent>& agent() const { return agent_; }
  // Destroys the agent (its destructor tears its objects down in order).
  void agentDel();

  Kiln::EventLoop& eventLoop() const { return entityManager_->eventLoop(); }

 private:
  Kiln::Ptr<Orbis::EntityManager> entityManager_;
  std::uint32_t cellId_;
  Kiln::Ptr<CAgent> agent_;
};

}  // namespace AgentBase
