#include "platform/kiln/Dir.h"

#include "platform/kiln/TypeRegistry.h"

namespace Kiln {

namespace {
const TypeRegistration dirType("Kiln::Dir",
                               [](const std::string& name) { return make<Dir>(name); });
}

void Dir::entityIs(const std::string& name, Ptr<Entity> entity) {
  if (entity_.find(name) == entity) return;
  validPtr(entity)->parentIs(this);
  entity_.insert(name, std::move(entity));
  notifieeList_.notify(&NotifieeConst::onEntity, name);
}

void Dir::entityDel(const std::string& name) {
  if (entity_.del(name)) notifieeList_.notify(&NotifieeConst::onEntity, name);
}

}  // namespace Kiln
