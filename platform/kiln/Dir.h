#pragma once
// A directory: named entities of any type, with a notification per name.

#include <string>

#include "platform/kiln/Collection.h"
#include "platform/kiln/Notifier.h"

namespace Kiln {

class Dir : public Entity {
 public:
  class NotifieeConst : public Notifiee<Dir> {
   public:
    using Notifiee<Dir>::Notifiee;
    virtual void onEntity(const std::string&) {}
  };

  explicit Dir(std::string name = "dir") : Entity(std::move(name)) {}

  Ptr<Entity> entity(const std::string& name) const { return entity_.find(name); }
  // Stores `entity` under `name` (its parent becomes this directory); storing the same
  // entity again changes nothing.
  void entityIs(const std::string& name, Ptr<Entity> entity);
  void entityDel(const std::string& name);
  const Collection<std::string, Entity>& entity() const { return entity_; }

  NotifieeList<Dir>& notifieeList() const { return notifieeList_; }

 private:
  Collection<std::string, Entity> entity_;
  mutable NotifieeList<Dir> notifieeList_;
};

}  // namespace Kiln
