#include "platform/agent/AgentRunner.h"

#include <dlfcn.h>

#include <stdexcept>

#include "platform/kiln/TypeRegistry.h"

namespace AgentBase {

AgentRunner::AgentRunner(Kiln::Ptr<Orbis::EntityManager> entityManager, std::uint32_t cellId)
    : entityManager_(std::move(entityManager)), cellId_(cellId) {}

AgentRunner::~AgentRunner() { agentDel(); }

void AgentRunner::libraryIs(const std::string& path) {
  if (!dlopen(path.c_str(), RTLD_NOW | RTLD_GLOBAL | RTLD_NODELETE)) {
    const char* why = dlerror();
    throw std::runtime_error("cannot load " + path + ": " + (why ? why : "unknown error"));
  }
}

Kiln::Ptr<CAgent> AgentRunner::agentIs(const std::string& typeName, const std::string& name) {
  auto agent = Kiln::ptrCast<CAgent>(Kiln::newEntity(typeName, name));
  if (!agent) {
    throw std::runtime_error(Kiln::hasType(typeName) ? typeName + " is not an agent type"
                                                     : "no agent type named " + typeName);
  }
  agentDel();
  agent_ = agent;
  agent_->entityManagerIs(entityManager_);
  agent_->cellIdIs(cellId_);
  agent_->doInit();
  // Only as long as start-up needs: a busy loop (frames arriving) never idles.
  while (!agent_->mountsComplete() && eventLoop().runOnce(0)) {
  }
  if (!agent_->mountsComplete()) {
    throw std::runtime_error(name + ": mounts did not complete (mount group not closed?)");
  }
  return agent_;
}

void AgentRunner::agentDel() {
  agent_ = nullptr;
}

}  // namespace AgentBase
