#include "platform/kiln/Entity.h"

#include <cstdio>

#include "platform/kiln/Errors.h"

namespace Kiln {

std::string Entity::fullName() const {
  std::string result = name_;
  for (const Entity* p = parent_; p; p = p->parent_) result = p->name_ + "/" + result;
  return result;
}

void throwNullValidPtr() { throw RangeException("null ValidPtr"); }

std::string entityText(const Entity* entity) {
  if (!entity) return "null";
  char address[2 + 2 * sizeof(void*) + 1];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(entity));
  return entity->fullName() + "@" + address;
}

}  // namespace Kiln
