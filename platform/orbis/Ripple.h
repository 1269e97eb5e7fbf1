#pragma once
// KilnRipple: mounts of shared-memory tables (the kernel network status among them). In
// process, a table is an entity of the entity manager like any other, so a Ripple mount
// finds or creates it there and completes at once.

#include <string>

#include "platform/kiln/Entity.h"
#include "platform/orbis/EntityManager.h"

namespace KilnRipple {

// Per-collection settings of a table mount; in-process tables need none.
struct MountInfo {};

class Mount {
 public:
  explicit Mount(Kiln::Ptr<Orbis::EntityManager> entityManager);
  void handleInitialized();
  // Finds or creates the table at `path`; returns mountSuccess_ or why it failed.
  Orbis::MountStatus mount(const std::string& path, const std::string& typeName,
                           const MountInfo& info);
  // The table mounted at `path`, or null.
  Kiln::Ptr<Kiln::Entity> entity(const std::string& path) const;

 private:
  Kiln::Ptr<Orbis::EntityManager> entityManager_;
  bool initialized_ = false;
};

}  // namespace KilnRipple
