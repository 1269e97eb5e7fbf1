#include "platform/agent/CAgent.h"

#include <stdexcept>

#include "platform/kiln/Errors.h"

namespace AgentBase {

std::string CAgent::query(const std::string& topic, const std::map<std::string, std::string>&) const {
  throw std::invalid_argument(fwkType() + " answers nothing about '" + topic + "'");
}

void CAgent::handleMountStatus(Orbis::MountStatus status) {
  KILN_ASSERT(!mountsComplete_);
  mountsComplete_ = true;
  doMountsComplete(status, entityManager_);
}

std::string CAgent::cellPath() const { return "cell/" + std::to_string(cellId_); }

Kiln::Ptr<Orbis::MountGroup> CAgent::mountGroup() {
  KILN_ASSERT(entityManager_);
  if (!mountGroup_) mountGroup_ = entityManager_->mountGroup(*this);
  return mountGroup_;
}

Kiln::Ptr<Kiln::Entity> CAgent::createLocalEntity(const std::string& name,
                                                  const std::string& typeName,
                                                  const std::string& path) {
  KILN_ASSERT(entityManager_);
  return entityManager_->entityIs(path, typeName, name);
}

}  // namespace AgentBase
