#pragma once
// Orbis, the state database, in process.
//
// Entities live at paths ("cfm/config"). A mounter (an agent) takes its mount group,
// adds (path, type name, mode) mounts and closes the group; the group then completes on
// the event loop, creating through the type registry every mounted entity that does not
// exist yet, and tells the mounter the outcome. Every holder of the entity manager sees
// the same entity at a path, so a write through a "w" mount is visible to all of them.

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "platform/kiln/Entity.h"
#include "platform/kiln/EventLoop.h"

namespace Orbis {

enum MountStatus : std::uint8_t {
  mountSuccess_,
  mountUnknownType_,   // no type of that name is registered
  mountTypeMismatch_,  // the path holds an entity of another type
  mountBadMode_,       // the mode is not "r" or "w" followed by flags
};
const char* mountStatusText(MountStatus status);
std::ostream& operator<<(std::ostream& os, MountStatus status);

// What a mount group reports to when it completes.
class Mounter {
 public:
  virtual ~Mounter() = default;
  virtual void handleMountStatus(MountStatus status) = 0;
};

struct Mount {
  std::string path;
  std::string typeName;
  // "r" (read) or "w" (write), then the database's flags, kept as given.
  std::string mode;
};

class EntityManager;

class MountGroup : public Kiln::Entity {
 public:
  MountGroup(EntityManager& manager, Mounter& mounter);

  // Adds a mount; only before close().
  void add(const std::string& path, const std::string& typeName, const std::string& mode);
  // Closes the group. The group completes from the event loop, never inside this call,
  // or inside it when `synchronous` is set. `description` names the group in the
  // database's log; in-process mounts never wait, so `timeout` (seconds, 0 for none) only
  // has to be non-negative.
  void close(bool synchronous, const std::string& description, double timeout);

  const std::vector<Mount>& mounts() const { return mounts_; }
  bool closed() const { return closed_; }
  bool complete() const { return complete_; }

 private:
  void doComplete();

  EntityManager& manager_;
  Mounter& mounter_;
  std::vector<Mount> mounts_;
  std::string description_;
  bool closed_ = false;
  bool complete_ = false;
};

// Outlives the completion of every group it hands out: the runner keeps it for the
// process's life.
class EntityManager : public Kiln::Entity {
 public:
  explicit EntityManager(Kiln::EventLoop& loop = Kiln::eventLoop());

  // The entity at `path`, or null.
  Kiln::Ptr<Kiln::Entity> entity(std::string_view path) const;
  // The registered type name of the entity at `path`, or "".
  std::string typeName(std::string_view path) const;

  // Create-or-find of the entity at `path` through the type registry (how a runner seeds
  // the database before agents start). An unknown type, or an entity of another type at
  // the path, raises Kiln::RangeException. A new entity is named `name`, or after the
  // last segment of the path.
  Kiln::Ptr<Kiln::Entity> entityIs(const std::string& path, const std::string& typeName,
                                   const std::string& name = "");

  // A new mount group whose completion is reported to `mounter`.
  Kiln::Ptr<MountGroup> mountGroup(Mounter& mounter);

  // Completes one mount at once: finds or creates the entity, or says why it cannot.
  MountStatus mount(const Mount& mount);

  // Every path with an entity, in path order.
  std::vector<std::string> paths() const;
  Kiln::EventLoop& eventLoop() const { return loop_; }

 private:
  struct Slot {
    std::string typeName;
    Kiln::Ptr<Kiln::Entity> entity;
  };

  Kiln::EventLoop& loop_;
  std::map<std::string, Slot, std::less<>> slots_;
};

}  // namespace Orbis

namespace Cell {

// The path of `path` inside the cell `cellId`: "cell/<id>/<path>".
std::string path(std::string_view path, std::uint32_t cellId);

}  // namespace Cell
