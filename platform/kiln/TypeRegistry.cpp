#include "platform/kiln/TypeRegistry.h"

#include <map>

#include "platform/kiln/Errors.h"

namespace Kiln {

namespace {
std::map<std::string, EntityFactory, std::less<>>& factories() {
  static std::map<std::string, EntityFactory, std::less<>> instance;
  return instance;
}
}  // namespace

TypeRegistration::TypeRegistration(std::string typeName, EntityFactory factory)
    : typeName_(std::move(typeName)) {
  const bool inserted = factories().emplace(typeName_, std::move(factory)).second;
  KILN_ASSERT(inserted);
}

TypeRegistration::~TypeRegistration() { factories().erase(typeName_); }

bool hasType(std::string_view typeName) { return factories().contains(typeName); }

Ptr<Entity> newEntity(std::string_view typeName, const std::string& name) {
  auto it = factories().find(typeName);
  return it == factories().end() ? Ptr<Entity>() : it->second(name);
}

std::vector<std::string> typeNames() {
  std::vector<std::string> names;
  for (const auto& entry : factories()) names.push_back(entry.first);
  return names;
}

}  // namespace Kiln
