#include "platform/orbis/EntityManager.h"

#include <cstdio>

#include "platform/kiln/Errors.h"
#include "platform/kiln/TypeRegistry.h"

namespace Orbis {

const char* mountStatusText(MountStatus status) {
  switch (status) {
    case mountSuccess_: return "mountSuccess";
    case mountUnknownType_: return "mountUnknownType";
    case mountTypeMismatch_: return "mountTypeMismatch";
    case mountBadMode_: return "mountBadMode";
  }
  return "mountStatusUnknown";
}

std::ostream& operator<<(std::ostream& os, MountStatus status) {
  return os << mountStatusText(status);
}

MountGroup::MountGroup(EntityManager& manager, Mounter& mounter)
    : Kiln::Entity("mountGroup"), manager_(manager), mounter_(mounter) {}

void MountGroup::add(const std::string& path, const std::string& typeName,
                     const std::string& mode) {
  KILN_ASSERT(!closed_);
  mounts_.push_back({path, typeName, mode});
}

void MountGroup::close(bool synchronous, const std::string& description, double timeout) {
  KILN_ASSERT(!closed_);
  if (timeout < 0) throw Kiln::RangeException("MountGroup::close timeout < 0 not allowed");
  closed_ = true;
  description_ = description;
  if (synchronous) {
    doComplete();
    return;
  }
  // The group must outlive the deferred completion even if the manager drops it.
  Kiln::Ptr<MountGroup> self(this);
  manager_.eventLoop().defer([self] { self->doComplete(); });
}

void MountGroup::doComplete() {
  MountStatus status = mountSuccess_;
  for (const Mount& m : mounts_) {
    status = manager_.mount(m);
    if (status != mountSuccess_) {
      std::fprintf(stderr, "Orbis: %s: mount of %s as %s (%s) failed: %s\n",
                   description_.empty() ? "mount group" : description_.c_str(), m.path.c_str(),
                   m.typeName.c_str(), m.mode.c_str(), mountStatusText(status));
      break;
    }
  }
  complete_ = true;
  mounter_.handleMountStatus(status);
}

EntityManager::EntityManager(Kiln::EventLoop& loop)
    : Kiln::Entity("entityManager"), loop_(loop) {}

Kiln::Ptr<Kiln::Entity> EntityManager::entity(std::string_view path) const {
  auto it = slots_.find(path);
  return it == slots_.end() ? Kiln::Ptr<Kiln::Entity>() : it->second.entity;
}

std::string EntityManager::typeName(std::string_view path) const {
  auto it = slots_.find(path);
  return it == slots_.end() ? std::string() : it->second.typeName;
}

Kiln::Ptr<Kiln::Entity> EntityManager::entityIs(const std::string& path,
                                                 const std::string& typeName,
                                                 const std::string& name) {
  if (auto it = slots_.find(path); it != slots_.end()) {
    if (it->second.typeName != typeName) {
      throw Kiln::RangeException("entity at " + path + " is a " + it->second.typeName +
                                 ", not a " + typeName);
    }
    return it->second.entity;
  }
  const auto slash = path.rfind('/');
  auto made = Kiln::newEntity(
      typeName, !name.empty() ? name : slash == std::string::npos ? path : path.substr(slash + 1));
  if (!made) throw Kiln::RangeException("no entity type named " + typeName);
  slots_.emplace(path, Slot{typeName, made});
  return made;
}

MountStatus EntityManager::mount(const Mount& m) {
  if (m.mode.empty() || (m.mode[0] != 'r' && m.mode[0] != 'w')) return mountBadMode_;
  if (auto it = slots_.find(m.path); it != slots_.end()) {
    return it->second.typeName == m.typeName ? mountSuccess_ : mountTypeMismatch_;
  }
  if (!Kiln::hasType(m.typeName)) return mountUnknownType_;
  entityIs(m.path, m.typeName);
  return mountSuccess_;
}

Kiln::Ptr<MountGroup> EntityManager::mountGroup(Mounter& mounter) {
  return Kiln::make<MountGroup>(*this, mounter);
}

std::vector<std::string> EntityManager::paths() const {
  std::vector<std::string> result;
  for (const auto& entry : slots_) result.push_back(entry.first);
  return result;
}

}  // namespace Orbis

namespace Cell {

std::string path(std::string_view path, std::uint32_t cellId) {
  return "cell/" + std::to_string(cellId) + "/" + std::string(path);
}

}  // namespace Cell
