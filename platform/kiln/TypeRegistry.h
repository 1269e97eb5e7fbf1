#pragma once
// Construction of entities by type name ("CfmAgent::Config"): how the state database
// creates what it mounts and how a runner builds an agent from a loaded library.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kiln/Entity.h"

namespace Kiln {

using EntityFactory = std::function<Ptr<Entity>(const std::string& name)>;

// Registers a type for the lifetime of the object; a library declares one at namespace
// scope so that loading it registers its types and unloading it withdraws them.
class TypeRegistration {
 public:
  TypeRegistration(std::string typeName, EntityFactory factory);
  ~TypeRegistration();
  TypeRegistration(const TypeRegistration&) = delete;
  TypeRegistration& operator=(const TypeRegistration&) = delete;

 private:
  std::string typeName_;
};

bool hasType(std::string_view typeName);
// A new entity of the type, named `name`; null when the type is not registered.
Ptr<Entity> newEntity(std::string_view typeName, const std::string& name);
std::vector<std::string> typeNames();

}  // namespace Kiln
