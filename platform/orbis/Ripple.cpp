#include "platform/orbis/Ripple.h"

#include "platform/kiln/Errors.h"

namespace KilnRipple {

Mount::Mount(Kiln::Ptr<Orbis::EntityManager> entityManager)
    : entityManager_(std::move(entityManager)) {}

void Mount::handleInitialized() {
  KILN_ASSERT(!initialized_);
  KILN_ASSERT(entityManager_);
  initialized_ = true;
}

Orbis::MountStatus Mount::mount(const std::string& path, const std::string& typeName,
                                const MountInfo&) {
  KILN_ASSERT(initialized_);
  return entityManager_->mount({path, typeName, "r"});
}

Kiln::Ptr<Kiln::Entity> Mount::entity(const std::string& path) const {
  return entityManager_->entity(path);
}

}  // namespace KilnRipple
