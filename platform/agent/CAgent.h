#pragma once
// The base of every agent: an entity that mounts state-database paths.
//
// A runner creates the agent, hands it the entity manager and its cell, calls doInit()
// once; the agent adds its mounts to mountGroup() and closes it; when the group completes,
// doMountsComplete(status, entityManager) runs once.

#include <cstdint>
#include <map>
#include <string>

#include "platform/kiln/Entity.h"
#include "platform/orbis/EntityManager.h"

namespace AgentBase {

class CAgent : public Kiln::Entity, public Orbis::Mounter {
 public:
  explicit CAgent(std::string name) : Kiln::Entity(std::move(name)) {}

  // The framework type of the agent ("CfmAgent::Agent").
  virtual std::string fwkType() const = 0;
  virtual void doInit() = 0;
  virtual void doMountsComplete(Orbis::MountStatus mountStatus,
                                Kiln::Ptr<Orbis::EntityManager> entityManager) = 0;

  // An operator's question, answered from the agent's live state without changing or
  // counting anything: `topic` names the question, `fields` carry its arguments as text,
  // the answer is text. Throws std::invalid_argument with the reason when the question
  // cannot be answered; an agent that answers none refuses every topic.
  virtual std::string query(const std::string& topic,
                              const std::map<std::string, std::string>& fields) const;

  // Runs doMountsComplete once, when the agent's mount group completes.
  void handleMountStatus(Orbis::MountStatus status) override;

  const Kiln::Ptr<Orbis::EntityManager>& entityManager() const { return entityManager_; }
  void entityManagerIs(Kiln::Ptr<Orbis::EntityManager> manager) { entityManager_ = std::move(manager); }
  std::uint32_t cellId() const { return cellId_; }
  void cellIdIs(std::uint32_t cellId) { cellId_ = cellId; }
  // "cell/<id>": the root of this agent's cell in the state database.
  std::string cellPath() const;

  // The mount group of this agent, made on first request.
  Kiln::Ptr<Orbis::MountGroup> mountGroup();
  // Creates (or finds) the entity at `path` for this agent's own use.
  Kiln::Ptr<Kiln::Entity> createLocalEntity(const std::string& name, const std::string& typeName,
                                            const std::string& path);

  bool localEntitiesCreated() const { return localEntitiesCreated_; }
  void localEntitiesCreatedIs(bool created) { localEntitiesCreated_ = created; }
  bool mountsComplete() const { return mountsComplete_; }

 private:
  Kiln::Ptr<Orbis::EntityManager> entityManager_;
  Kiln::Ptr<Orbis::MountGroup> mountGroup_;
  std::uint32_t cellId_ = 0;
  bool localEntitiesCreated_ = false;
  bool mountsComplete_ = false;
};

}  // namespace AgentBase
