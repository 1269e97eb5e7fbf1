#pragma once
// The receive side of one local MEP: what the CCMs that reach it say about its remote MEPs
// and about the association's wiring, as the defects the MEP reports and the RDI it must
// send.
//
// It owns no socket, timer or clock. The caller passes the time (seconds on any monotonic
// origin) with every call, ticks it at nextDeadline(), and decides beforehand that a CCM
// came in on this MEP's interface and VLAN. A CCM costs a binary search and no allocation;
// the remote MEPs are one vector sorted by MEP id, rebuilt only when the list changes.

#include <cstdint>
#include <optional>
#include <ostream>
#include <span>
#include <string_view>
#include <vector>

#include "platform/ale/Ccm.h"
#include "platform/lumen/Eth.h"
#include "platform/types/CfmAleTypes.h"
#include "platform/types/CfmTypes.h"

namespace SoftAle {

// What became of one received CCM. Each reason for an error or cross-connect CCM is one
// enumerator, so that the caller counts each apart.
enum class CcmResult : std::uint8_t {
  accepted,           // fed its remote MEP's state machine
  notForThisMep,      // from a higher MD level: passes this MEP by, not an error
  xconLowerLevel,     // from a lower MD level: leaked through this MEP's domain
  xconOtherMaid,      // this level, another association
  errorOwnMepId,      // this association, carrying this MEP's own id
  errorUnknownMepId,  // this association, a MEP id not listed (or not a MEP id at all)
  errorInterval,      // this association, a listed MEP sending at another interval
};
std::string_view stringValue(CcmResult result);
std::ostream& operator<<(std::ostream& os, CcmResult result);
constexpr bool isXcon(CcmResult r) {
  return r == CcmResult::xconLowerLevel || r == CcmResult::xconOtherMaid;
}
constexpr bool isError(CcmResult r) {
  return r == CcmResult::errorOwnMepId || r == CcmResult::errorUnknownMepId ||
         r == CcmResult::errorInterval;
}

struct Defects {
  bool someRDIdefect = false;        // a remote MEP's last CCM carried RDI
  bool someMACstatusDefect = false;  // see MepMonitor::defects()
  bool someRMEPCCMdefect = false;    // a listed remote MEP is failed
  bool errorCCMdefect = false;
  bool xconCCMdefect = false;
  bool operator==(const Defects&) const = default;
  // As the ALE status carries them: bit (1 << MepDefect) for each that holds.
  std::uint8_t bits() const;
};

// A listed remote MEP starts in `start` and has the monitor's lifetime to be heard from;
// `idle` is left to a remote MEP whose local MEP is not run at all.
struct RemoteMep {
  Cfm::MepId mepId;
  Cfm::RemoteMepState state = Cfm::RemoteMepState::start;
  // When its timer last restarted: when it was listed, then at each of its CCMs. It fails
  // at armedAt + lifetime unless a CCM comes first.
  double armedAt = 0;
  std::optional<double> lastCcmTime{};
  std::uint64_t ccmsReceived = 0;
  // From its last CCM; kept while it is failed, for the operator.
  bool rdi = false;
  Lumen::EthAddr mac{};
  std::optional<std::uint8_t> portStatus{};  // none: the last CCM carried no such TLV
  std::optional<std::uint8_t> interfaceStatus{};
  std::uint32_t lastSequence = 0;
  std::uint64_t sequenceErrors = 0;
  // When it entered its state (listed, failed or ok), and how often it went from ok to failed.
  double since = 0;
  std::uint64_t flaps = 0;
};

// The last CCM that raised errorCCMdefect or xconCCMdefect, for the operator to find its
// sender.
struct OffendingCcm {
  CcmResult result = CcmResult::accepted;
  double time = 0;
  Cfm::MdLevel mdLevel;
  std::uint16_t mepId = 0;
  std::uint8_t intervalCode = 0;
  Lumen::EthAddr src;
  Maid maid{};
};

class MepMonitor {
 public:
  // Remote MEP ids are taken as a set: duplicates count once, and the MEP's own id or the
  // none id is dropped, as no CCM could ever keep such a MEP alive. The level must be a
  // real one (0-7): "MepMonitor::mdLevel invalid not allowed".
  MepMonitor(Cfm::MdLevel mdLevel, Cfm::MepId mepId, const Maid& maid,
             Cfm::CcmTxInterval interval, std::span<const Cfm::MepId> remoteMepIds, double now);

  // Classifies a CCM and updates the state it concerns.
  CcmResult ccmReceived(const ReceivedCcm& ccm, double now);
  // Fails the remote MEPs and clears the error and cross-connect defects whose time has
  // come (at their deadline exactly, not before). True when anything changed.
  bool tick(double now);
  // The earliest time at which tick() would change something, or infinity. ccmReceived
  // never sets a deadline earlier than one already pending: a caller keeping one timer
  // re-reads this after a CCM only when it had none armed, and after tick() and the
  // configuration setters.
  double nextDeadline() const;

  // Remote MEPs that stay keep their state; new ones start now. The own id and none are
  // dropped as in the constructor.
  void remoteMepIdsIs(std::span<const Cfm::MepId> remoteMepIds, double now);
  // Every running timer keeps its start and takes the new lifetime, so a lifetime that
  // shrank may expire at once (this ticks at `now`).
  void ccmIntervalIs(Cfm::CcmTxInterval interval, double now);

  // someMACstatusDefect holds when a remote MEP reports an interface status other than up,
  // or when every listed remote MEP reports a port status other than forwarding: one
  // blocked port of a multipoint association is ordinary spanning-tree work, all of them
  // blocked means no data can reach anyone.
  Defects defects() const;
  Cfm::MepDefect highestDefect() const;
  // The RDI bit this MEP must put in its own CCMs.
  bool presentRdi() const;

  // Sorted by MEP id.
  const std::vector<RemoteMep>& remoteMeps() const { return remoteMeps_; }
  // Null when `mepId` is not listed.
  const RemoteMep* remoteMep(Cfm::MepId mepId) const;
  // The remote MEPs whose state changed since the last call, in the order they changed
  // (one may appear twice). Kept in memory reserved for the list, so that a CCM costs no
  // allocation; a caller that takes them after every call never lets them pile up.
  const std::vector<Cfm::MepId>& stateChanges() const { return stateChanges_; }
  void stateChangesClear() { stateChanges_.clear(); }
  // Out-of-sequence CCMs from all remote MEPs, those no longer listed included.
  std::uint64_t sequenceErrors() const { return sequenceErrors_; }
  const std::optional<OffendingCcm>& lastErrorCcm() const { return lastErrorCcm_; }
  const std::optional<OffendingCcm>& lastXconCcm() const { return lastXconCcm_; }

  Cfm::MdLevel mdLevel() const { return mdLevel_; }
  Cfm::MepId mepId() const { return mepId_; }
  const Maid& maid() const { return maid_; }
  Cfm::CcmTxInterval ccmInterval() const { return interval_; }
  std::uint8_t intervalCode() const { return intervalCode_; }
  // 3.5 periods of the interval code: how long a remote MEP stays alive without a CCM and
  // how long an error or cross-connect defect outlives the CCM that raised it.
  double lifetime() const { return lifetime_; }

 private:
  // Adds (+1) or takes away (-1) what one remote MEP contributes to the defect counts.
  void account(const RemoteMep& rmep, int sign);
  void recount();
  void raiseDefect(std::optional<OffendingCcm>& record, bool& defect, CcmResult result,
                   const ReceivedCcm& ccm, double now);
  void stateIs(RemoteMep& rmep, Cfm::RemoteMepState state, double now);

  Cfm::MdLevel mdLevel_;
  Cfm::MepId mepId_;
  Maid maid_;
  Cfm::CcmTxInterval interval_;
  std::uint8_t intervalCode_ = 0;
  double lifetime_ = 0;
  std::vector<RemoteMep> remoteMeps_;
  // How many remote MEPs carry each per-MEP defect, kept as CCMs arrive so that reading
  // the defects never walks the list.
  std::size_t rdiCount_ = 0;
  std::size_t portDownCount_ = 0;
  std::size_t interfaceDownCount_ = 0;
  std::size_t failedCount_ = 0;
  bool errorCCMdefect_ = false;
  bool xconCCMdefect_ = false;
  std::optional<OffendingCcm> lastErrorCcm_;
  std::optional<OffendingCcm> lastXconCcm_;
  std::vector<Cfm::MepId> stateChanges_;
  std::uint64_t sequenceErrors_ = 0;
};

}  // namespace SoftAle
