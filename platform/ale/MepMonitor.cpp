#include "platform/ale/MepMonitor.h"

#include <algorithm>
#include <bit>
#include <limits>

#include "platform/kiln/Errors.h"

namespace SoftAle {

namespace {

bool portDown(const RemoteMep& r) { return r.portStatus && *r.portStatus != portStatusUp; }
bool interfaceDown(const RemoteMep& r) {
  return r.interfaceStatus && *r.interfaceStatus != interfaceStatusUp;
}
bool timerRunning(const RemoteMep& r) {
  return r.state == Cfm::RemoteMepState::start || r.state == Cfm::RemoteMepState::ok;
}

auto byMepId = [](const RemoteMep& r, Cfm::MepId id) { return r.mepId < id; };

}  // namespace

std::string_view stringValue(CcmResult result) {
  static constexpr std::string_view names[] = {
      "accepted",      "notForThisMep",     "xconLowerLevel", "xconOtherMaid",
      "errorOwnMepId", "errorUnknownMepId", "errorInterval",
  };
  return std::size_t(result) < std::size(names) ? names[std::size_t(result)] : "?";
}
std::ostream& operator<<(std::ostream& os, CcmResult result) { return os << stringValue(result); }

MepMonitor::MepMonitor(Cfm::MdLevel mdLevel, Cfm::MepId mepId, const Maid& maid,
                       Cfm::CcmTxInterval interval, std::span<const Cfm::MepId> remoteMepIds,
                       double now)
    : mdLevel_(mdLevel), mepId_(mepId), maid_(maid) {
  if (!mdLevel.isValid()) throw Kiln::RangeException("MepMonitor::mdLevel invalid not allowed");
  ccmIntervalIs(interval, now);
  remoteMepIdsIs(remoteMepIds, now);
}

CcmResult MepMonitor::ccmReceived(const ReceivedCcm& ccm, double now) {
  // Higher levels pass through a MEP; lower ones must have been stopped by a MEP of their
  // own domain further out, so seeing one means the domains leak into each other.
  if (ccm.mdLevel > mdLevel_) return CcmResult::notForThisMep;
  if (ccm.mdLevel < mdLevel_) {
    raiseDefect(lastXconCcm_, xconCCMdefect_, CcmResult::xconLowerLevel, ccm, now);
    return CcmResult::xconLowerLevel;
  }
  if (ccm.maid != maid_) {
    raiseDefect(lastXconCcm_, xconCCMdefect_, CcmResult::xconOtherMaid, ccm, now);
    return CcmResult::xconOtherMaid;
  }
  CcmResult error = CcmResult::accepted;
  auto it = remoteMeps_.end();
  if (ccm.mepId == mepId_.value()) {
    error = CcmResult::errorOwnMepId;
  } else {
    // Searched by the raw id: one outside 1-8191 is never listed, so it is refused here too.
    const auto below = [](const RemoteMep& r, std::uint16_t id) { return r.mepId.value() < id; };
    it = std::lower_bound(remoteMeps_.begin(), remoteMeps_.end(), ccm.mepId, below);
    if (it == remoteMeps_.end() || it->mepId.value() != ccm.mepId) {
      error = CcmResult::errorUnknownMepId;
    } else if (ccm.intervalCode != intervalCode_) {
      error = CcmResult::errorInterval;
    }
  }
  if (error != CcmResult::accepted) {
    raiseDefect(lastErrorCcm_, errorCCMdefect_, error, ccm, now);
    return error;
  }

  RemoteMep& r = *it;
  account(r, -1);
  // A sender that numbers nothing sends 0 throughout; only a real gap or repeat counts.
  const bool unnumbered = ccm.sequence == 0 && r.lastSequence == 0;
  if (r.ccmsReceived > 0 && !unnumbered && ccm.sequence != std::uint32_t(r.lastSequence + 1)) {
    ++r.sequenceErrors;
    ++sequenceErrors_;
  }
  if (r.state != Cfm::RemoteMepState::ok) stateIs(r, Cfm::RemoteMepState::ok, now);
  r.armedAt = now;
  r.lastCcmTime = now;
  ++r.ccmsReceived;
  r.rdi = ccm.rdi;
  r.mac = ccm.src;
  r.portStatus = ccm.portStatus;
  r.interfaceStatus = ccm.interfaceStatus;
  r.lastSequence = ccm.sequence;
  account(r, +1);
  return CcmResult::accepted;
}

void MepMonitor::raiseDefect(std::optional<OffendingCcm>& record, bool& defect, CcmResult result,
                             const ReceivedCcm& ccm, double now) {
  defect = true;
  record = OffendingCcm{result, now, ccm.mdLevel, ccm.mepId, ccm.intervalCode, ccm.src, ccm.maid};
}

bool MepMonitor::tick(double now) {
  bool changed = false;
  for (RemoteMep& r : remoteMeps_) {
    if (timerRunning(r) && now >= r.armedAt + lifetime_) {
      account(r, -1);
      if (r.state == Cfm::RemoteMepState::ok) ++r.flaps;
      stateIs(r, Cfm::RemoteMepState::failed, now);
      account(r, +1);
      changed = true;
    }
  }
  const auto expire = [&](bool& defect, const std::optional<OffendingCcm>& record) {
    if (defect && now >= record->time + lifetime_) {
      defect = false;
      changed = true;
    }
  };
  expire(errorCCMdefect_, lastErrorCcm_);
  expire(xconCCMdefect_, lastXconCcm_);
  return changed;
}

void MepMonitor::stateIs(RemoteMep& r, Cfm::RemoteMepState state, double now) {
  r.state = state;
  r.since = now;
  stateChanges_.push_back(r.mepId);
}

double MepMonitor::nextDeadline() const {
  double next = std::numeric_limits<double>::infinity();
  for (const RemoteMep& r : remoteMeps_) {
    if (timerRunning(r)) next = std::min(next, r.armedAt + lifetime_);
  }
  if (errorCCMdefect_) next = std::min(next, lastErrorCcm_->time + lifetime_);
  if (xconCCMdefect_) next = std::min(next, lastXconCcm_->time + lifetime_);
  return next;
}

void MepMonitor::remoteMepIdsIs(std::span<const Cfm::MepId> remoteMepIds, double now) {
  std::vector<Cfm::MepId> ids(remoteMepIds.begin(), remoteMepIds.end());
  std::erase_if(ids, [this](Cfm::MepId id) { return id.isNone() || id == mepId_; });
  std::sort(ids.begin(), ids.end());
  ids.erase(std::unique(ids.begin(), ids.end()), ids.end());

  std::vector<RemoteMep> kept;
  kept.reserve(ids.size());
  for (const Cfm::MepId id : ids) {
    const auto it = std::lower_bound(remoteMeps_.begin(), remoteMeps_.end(), id, byMepId);
    if (it != remoteMeps_.end() && it->mepId == id) {
      kept.push_back(*it);
    } else {
      kept.push_back(RemoteMep{.mepId = id, .armedAt = now, .since = now});
    }
  }
  remoteMeps_ = std::move(kept);
  // Each remote MEP changes at most twice between two takes (failed by a tick, ok by a CCM).
  stateChanges_.reserve(2 * remoteMeps_.size());
  recount();
}

void MepMonitor::ccmIntervalIs(Cfm::CcmTxInterval interval, double now) {
  interval_ = interval;
  intervalCode_ = Cfm::ccmIntervalCode(interval);
  lifetime_ = 3.5 * Cfm::ccmTxIntervals[intervalCode_ - 1].value();
  tick(now);
}

void MepMonitor::account(const RemoteMep& r, int sign) {
  const auto add = [sign](std::size_t& count, bool holds) {
    if (holds) count += std::size_t(sign);
  };
  add(rdiCount_, r.rdi);
  add(portDownCount_, portDown(r));
  add(interfaceDownCount_, interfaceDown(r));
  add(failedCount_, r.state == Cfm::RemoteMepState::failed);
}

void MepMonitor::recount() {
  rdiCount_ = portDownCount_ = interfaceDownCount_ = failedCount_ = 0;
  for (const RemoteMep& r : remoteMeps_) account(r, +1);
}

Defects MepMonitor::defects() const {
  return Defects{
      .someRDIdefect = rdiCount_ > 0,
      .someMACstatusDefect = interfaceDownCount_ > 0 ||
                             (!remoteMeps_.empty() && portDownCount_ == remoteMeps_.size()),
      .someRMEPCCMdefect = failedCount_ > 0,
      .errorCCMdefect = errorCCMdefect_,
      .xconCCMdefect = xconCCMdefect_,
  };
}

std::uint8_t Defects::bits() const {
  const auto bit = [](bool holds, Cfm::MepDefect defect) {
    return holds ? 1u << unsigned(defect) : 0u;
  };
  return std::uint8_t(bit(someRDIdefect, Cfm::MepDefect::rdiCcm) |
                      bit(someMACstatusDefect, Cfm::MepDefect::macStatus) |
                      bit(someRMEPCCMdefect, Cfm::MepDefect::remoteCcm) |
                      bit(errorCCMdefect, Cfm::MepDefect::errorCcm) |
                      bit(xconCCMdefect, Cfm::MepDefect::xconCcm));
}

// The defects are numbered in priority order, so the highest is the highest bit set.
Cfm::MepDefect MepMonitor::highestDefect() const {
  const int width = std::bit_width(defects().bits());
  return Cfm::MepDefect(width > 0 ? width - 1 : 0);
}

bool MepMonitor::presentRdi() const {
  const Defects d = defects();
  return d.someRMEPCCMdefect || d.someMACstatusDefect || d.errorCCMdefect || d.xconCCMdefect;
}

const RemoteMep* MepMonitor::remoteMep(Cfm::MepId mepId) const {
  const auto it = std::lower_bound(remoteMeps_.begin(), remoteMeps_.end(), mepId, byMepId);
  return it != remoteMeps_.end() && it->mepId == mepId ? &*it : nullptr;
}

}  // namespace SoftAle
