#pragma once
// The agent's status ("cfm/status"): the domain status it mirrors from the ALE layer, and
// the counter tree and CCM databases it keeps there for other agents to read. None of it
// notifies: the agent is its only writer, and readers look it up.

#include <string>
#include <utility>

#include "platform/kiln/Collection.h"
#include "platform/types/CcmDb.h"
#include "platform/types/CfmCounters.h"
#include "platform/types/CfmTypes.h"

namespace CfmAgent {

// A domain's status as the ALE layer reports it.
class MdStatus : public Kiln::Entity {
 public:
  explicit MdStatus(Cfm::MdLevel mdLevel);
  Cfm::MdLevel mdLevel() const { return mdLevel_; }

  bool defaultMip() const { return defaultMip_; }
  void defaultMipIs(bool defaultMip) { defaultMip_ = defaultMip; }

 private:
  Cfm::MdLevel mdLevel_;
  bool defaultMip_ = false;
};

class Status : public Kiln::Entity {
 public:
  using MdStatuses = Kiln::Collection<Cfm::MdLevel, MdStatus>;

  explicit Status(std::string name = "status") : Kiln::Entity(std::move(name)) {}

  Kiln::Ptr<MdStatus> mdStatus(Cfm::MdLevel level) const { return mdStatus_.find(level); }
  Kiln::Ptr<MdStatus> mdStatusIs(Cfm::MdLevel level) { return mdStatus_.childIs(level, this); }
  void mdStatusDel(Cfm::MdLevel level) { mdStatus_.del(level); }
  // Deletes during iteration: `it = status->mdStatusDel(it)`.
  MdStatuses::const_iterator mdStatusDel(MdStatuses::const_iterator it) {
    return mdStatus_.erase(it);
  }
  const MdStatuses& mdStatus() const { return mdStatus_; }

  // Made on first use and kept for the Status's life, so that every holder counts into
  // and clears the same tree and databases.
  Kiln::Ptr<Counter> counter() const { return counter_; }
  Kiln::Ptr<Counter> counterIs();
  Kiln::Ptr<MipCcmDb> mipCcmDb() const { return mipCcmDb_; }
  Kiln::Ptr<MipCcmDb> mipCcmDbIs();
  Kiln::Ptr<CcmDb> ccmDb() const { return ccmDb_; }
  Kiln::Ptr<CcmDb> ccmDbIs();

 private:
  MdStatuses mdStatus_;
  Kiln::Ptr<Counter> counter_;
  Kiln::Ptr<MipCcmDb> mipCcmDb_;
  Kiln::Ptr<CcmDb> ccmDb_;
};

}  // namespace CfmAgent
