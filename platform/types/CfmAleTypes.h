#pragma once
// The ALE layer's CFM configuration ("cfm/aleConfig") and status ("cfm/aleStatus").
//
// The CFM agent is the only writer of the configuration and keeps it a translation of the
// operator's configuration; the ALE layer reads it by walking the tree, so it carries no
// notifications. The status is written by the ALE layer (a runner seeds it) and the agent
// mirrors it, so it notifies.
//
// The collections that the agent sweeps on start-up also take an iterator to delete
// through (`it = aleConfig->mdConfigDel(it)`), so that stale entries go in one pass.
//
// Every write into one configuration tree, at whatever depth, is counted on its root
// (`writes()`): what a change of the operator's configuration costs the ALE layer, which
// has to reread whatever was written. An entry made by its parent shares the parent's
// count; one made on its own counts alone.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/kiln/Collection.h"
#include "platform/kiln/Notifier.h"
#include "platform/lumen/Eth.h"
#include "platform/lumen/IntfId.h"
#include "platform/types/Bridging.h"
#include "platform/types/CfmTypes.h"

namespace Cfm {

// Shared by the entries of one tree, so that an entry already let go by its parent (and
// still held by whoever wrote it) counts safely.
using AleWriteCount = std::shared_ptr<std::uint64_t>;

class LocalMepAleConfig : public Kiln::Entity {
 public:
  // Sorted by MEP id, in one array: a switch may list a million remote MEPs, a few dozen
  // per local MEP, and an entry costs four bytes here rather than a tree node.
  using RemoteMepConfigs = std::vector<std::pair<MepId, bool>>;

  explicit LocalMepAleConfig(MepId mepId, AleWriteCount writes = nullptr);
  MepId mepId() const { return mepId_; }

  Lumen::IntfId intfId() const { return intfId_; }
  void intfIdIs(Lumen::IntfId intf) {
    written();
    intfId_ = intf;
  }

  // False when the remote MEP is not listed.
  bool remoteMepConfig(MepId mepId) const;
  void remoteMepConfigIs(MepId mepId, bool value);
  void remoteMepConfigDel(MepId mepId);
  RemoteMepConfigs::const_iterator remoteMepConfigDel(RemoteMepConfigs::const_iterator it) {
    written();
    return remoteMepConfig_.erase(it);
  }
  // Gives the list's memory back: a MEP no longer translated keeps none.
  void remoteMepConfigDelAll() {
    written();
    RemoteMepConfigs().swap(remoteMepConfig_);
  }
  const RemoteMepConfigs& remoteMepConfig() const { return remoteMepConfig_; }

  std::uint64_t writes() const { return *writes_; }

 private:
  void written() { ++*writes_; }

  AleWriteCount writes_;
  MepId mepId_;
  Lumen::IntfId intfId_;
  RemoteMepConfigs remoteMepConfig_;
};

class MaAleConfig : public Kiln::Entity {
 public:
  using LocalMepConfigs = Kiln::Collection<MepId, LocalMepAleConfig>;

  // `maName` carries the name and format the ALE layer puts into CCMs; the key is only
  // the association's identity within its domain.
  explicit MaAleConfig(MaName key, AleWriteCount writes = nullptr);
  const MaName& maNameKey() const { return maNameKey_; }

  const MaNameWithFormat& maName() const { return maName_; }
  void maNameIs(MaNameWithFormat name) {
    written();
    maName_ = std::move(name);
  }
  MepDirection direction() const { return direction_; }
  void directionIs(MepDirection direction) {
    written();
    direction_ = direction;
  }
  Bridging::VlanIdOrNone primaryVlanId() const { return primaryVlanId_; }
  void primaryVlanIdIs(Bridging::VlanIdOrNone vlan) {
    written();
    primaryVlanId_ = vlan;
  }
  bool ccmEnable() const { return ccmEnable_; }
  void ccmEnableIs(bool enable) {
    written();
    ccmEnable_ = enable;
  }
  CcmTxInterval ccmTxInterval() const { return ccmTxInterval_; }
  void ccmTxIntervalIs(CcmTxInterval interval) {
    written();
    ccmTxInterval_ = interval;
  }

  Kiln::Ptr<LocalMepAleConfig> localMepConfig(MepId mepId) const {
    return localMepConfig_.find(mepId);
  }
  // Create-or-find; counted as a write either way.
  Kiln::Ptr<LocalMepAleConfig> localMepConfigIs(MepId mepId);
  void localMepConfigDel(MepId mepId) {
    written();
    localMepConfig_.del(mepId);
  }
  LocalMepConfigs::const_iterator localMepConfigDel(LocalMepConfigs::const_iterator it) {
    written();
    return localMepConfig_.erase(it);
  }
  const LocalMepConfigs& localMepConfig() const { return localMepConfig_; }

  std::uint64_t writes() const { return *writes_; }

 private:
  void written() { ++*writes_; }

  AleWriteCount writes_;
  MaName maNameKey_;
  MaNameWithFormat maName_;
  MepDirection direction_ = mepDirectionDown;
  Bridging::VlanIdOrNone primaryVlanId_;
  bool ccmEnable_ = false;
  CcmTxInterval ccmTxInterval_;
  LocalMepConfigs localMepConfig_;
};

class MdAleConfig : public Kiln::Entity {
 public:
  using MaConfigs = Kiln::Collection<MaName, MaAleConfig>;

  explicit MdAleConfig(MdLevel mdLevel, AleWriteCount writes = nullptr);
  MdLevel mdLevel() const { return mdLevel_; }

  const MdNameWithFormat& mdName() const { return mdName_; }
  void mdNameIs(MdNameWithFormat name) {
    written();
    mdName_ = std::move(name);
  }
  bool defaultMip() const { return defaultMip_; }
  void defaultMipIs(bool defaultMip) {
    written();
    defaultMip_ = defaultMip;
  }

  Kiln::Ptr<MaAleConfig> maConfig(const MaName& name) const { return maConfig_.find(name); }
  // Create-or-find; counted as a write either way.
  Kiln::Ptr<MaAleConfig> maConfigIs(const MaName& name);
  // The association goes with its local MEPs.
  void maConfigDel(const MaName& name) {
    written();
    maConfig_.del(name);
  }
  MaConfigs::const_iterator maConfigDel(MaConfigs::const_iterator it) {
    written();
    return maConfig_.erase(it);
  }
  const MaConfigs& maConfig() const { return maConfig_; }

  std::uint64_t writes() const { return *writes_; }

 private:
  void written() { ++*writes_; }

  AleWriteCount writes_;
  MdLevel mdLevel_;
  MdNameWithFormat mdName_;
  bool defaultMip_ = false;
  MaConfigs maConfig_;
};

class AleConfig : public Kiln::Entity {
 public:
  using MdConfigs = Kiln::Collection<MdLevel, MdAleConfig>;

  explicit AleConfig(std::string name = "aleConfig");

  Kiln::Ptr<MdAleConfig> mdConfig(MdLevel level) const { return mdConfig_.find(level); }
  // Create-or-find; counted as a write either way.
  Kiln::Ptr<MdAleConfig> mdConfigIs(MdLevel level);
  // The domain goes with everything below it.
  void mdConfigDel(MdLevel level) {
    written();
    mdConfig_.del(level);
  }
  MdConfigs::const_iterator mdConfigDel(MdConfigs::const_iterator it) {
    written();
    return mdConfig_.erase(it);
  }
  const MdConfigs& mdConfig() const { return mdConfig_; }

  // Writes into the whole tree since it was made.
  std::uint64_t writes() const { return *writes_; }

 private:
  void written() { ++*writes_; }

  AleWriteCount writes_;
  MdConfigs mdConfig_;
};

// The remote MEP state machine's states, as the ALE layer reports them.
enum class RemoteMepState : std::uint8_t { idle, start, failed, ok };
std::string stringValue(RemoteMepState state);

// A local MEP's defects from the lowest priority to the highest: the one reported is the
// highest that holds.
enum class MepDefect : std::uint8_t { none, rdiCcm, macStatus, remoteCcm, errorCcm, xconCcm };
std::string stringValue(MepDefect defect);

// The lowest defect priority that raises a fault alarm: allDef alarms on any defect,
// macRemErrXcon on all but RDI, and so on up to noXcon, which never alarms. Numbered so
// that a defect alarms when MepDefect >= LowestAlarmPri.
enum class LowestAlarmPri : std::uint8_t { allDef = 1, macRemErrXcon, remErrXcon, errXcon, xcon, noXcon };
std::string stringValue(LowestAlarmPri pri);
// None for a name that is not one of the six.
std::optional<LowestAlarmPri> lowestAlarmPriOf(std::string_view name);

// The fault notification generator's states.
enum class FngState : std::uint8_t { reset = 1, defect, reportDefect, defectReported, defectClearing };
std::string stringValue(FngState state);  // "fngReset", "fngDefect", ...

// What the ALE layer last learnt of one remote MEP of a local MEP.
struct RemoteMepAleStatus {
  MepId mepId;
  RemoteMepState state = RemoteMepState::idle;
  double lastCcmTime = 0;  // seconds since the epoch; 0 while none came
  std::uint64_t ccmsReceived = 0;
  std::uint64_t sequenceErrors = 0;
  bool rdi = false;
  Lumen::EthAddr macAddr;
  // The values of the last CCM's Port Status and Interface Status TLVs; 0 when it had none.
  std::uint8_t portStatus = 0;
  std::uint8_t interfaceStatus = 0;
  double since = 0;  // seconds since the epoch it entered its state
  std::uint64_t flaps = 0;  // how often it went from ok to failed
};

// What the ALE layer reports of one local MEP: what it sends, its defects, and its remote
// MEPs. Written by the layer as things change; nobody is notified (the agent does not
// reflect it, tools read it).
// What a local MEP's Y.1731 responder took: each kind of frame answered, and those it
// could not answer, by reason.
struct PmResponderCounters {
  std::uint64_t dmmIn = 0;
  std::uint64_t dmrOut = 0;
  std::uint64_t slmIn = 0;
  std::uint64_t slrOut = 0;
  std::uint64_t oneDmIn = 0;
  std::uint64_t tooShort = 0;   // shorter than its PDU's fixed part, or its first TLV offset
  std::uint64_t tooLarge = 0;   // a reply longer than any frame the layer sends
  std::uint64_t notSent = 0;    // the egress did not take the reply (too long for it, or gone)
  bool operator==(const PmResponderCounters&) const = default;
};

// What a Y.1731 measurement session of a local MEP does: two-way delay (DMM), synthetic
// loss (SLM) or one-way delay sent (1DM); and the one-way delay a MEP measures of the 1DMs
// a sender sends it (1dm-in), which is no session of its own but reads like one.
enum class PmKind : std::uint8_t { dmm, slm, oneDm, oneDmIn };
std::string stringValue(PmKind kind);  // "dmm", "slm", "1dm", "1dm-in"
std::optional<PmKind> pmKindOf(std::string_view name);  // of the three a session can be

// The delays of one measurement interval.
struct DelaySummary {
  std::uint64_t count = 0;
  // Nanoseconds; all 0 without a sample.
  std::int64_t min = 0;
  std::int64_t max = 0;
  std::int64_t mean = 0;
  std::int64_t p50 = 0;
  std::int64_t p99 = 0;
  std::int64_t variation = 0;
  bool operator==(const DelaySummary&) const = default;
};

// One measurement interval of a session.
struct PmIntervalAleStatus {
  double start = 0;  // seconds since the epoch
  double end = 0;    // 0 for the current interval
  std::uint64_t sent = 0;  // DMMs, SLMs or 1DMs sent in it
  std::uint64_t received = 0;  // DMRs, SLRs or 1DMs received in it
  // The delays taken in it: DMM's two-way, 1DM's one-way.
  DelaySummary delay;
  // SLM: the frames of the test each way since the last SLR of the interval before (or the
  // first of this one), and how many of them were lost.
  std::uint64_t farEndFrames = 0;
  std::uint64_t farEndLost = 0;
  std::uint64_t nearEndFrames = 0;
  std::uint64_t nearEndLost = 0;
  bool operator==(const PmIntervalAleStatus&) const = default;
};

struct PmSessionAleStatus {
  std::string name;
  PmKind kind = PmKind::dmm;
  MepId targetMepId;           // none when the target is given by address
  Lumen::EthAddr targetMac;    // as last resolved; zero while no CCM has named it
  std::uint32_t testId = 0;    // SLM's
  double interval = 0;         // seconds between two messages; 0 for 1dm-in
  std::uint64_t noTarget = 0;  // messages not sent: the target's address unknown
  std::uint64_t notSent = 0;   // messages the egress did not take
  std::uint64_t kernelSendTimes = 0;  // DMMs whose send time the kernel gave
  std::vector<PmIntervalAleStatus> intervals;  // the current one first, then newest to oldest
};

class LocalMepAleStatus : public Kiln::Entity {
 public:
  explicit LocalMepAleStatus(MepId mepId);
  MepId mepId() const { return mepId_; }

  Lumen::IntfId intfId;
  std::uint64_t ccmsSent = 0;
  bool rdiSent = false;  // the RDI flag of the CCMs it sends now
  // The defects that hold, as bits of (1 << MepDefect), and the highest of them.
  std::uint8_t defects = 0;
  MepDefect highestDefect = MepDefect::none;
  // CCMs refused as in error (wrong interval, unknown or own MEP id) or as a cross-connect
  // (another MAID, a lower level).
  std::uint64_t errorCcms = 0;
  std::uint64_t xconCcms = 0;
  std::uint64_t ccmSequenceErrors = 0;  // from all its remote MEPs
  // The fault notification generator: its settings, its state, and the standing alarm
  // with the defect that raised it (none while no alarm stands).
  LowestAlarmPri lowestAlarmPri = LowestAlarmPri::macRemErrXcon;
  double fngAlarmTime = 0;
  double fngResetTime = 0;
  FngState fngState = FngState::reset;
  bool faultAlarm = false;
  MepDefect faultAlarmDefect = MepDefect::none;
  PmResponderCounters pm;
  std::vector<PmSessionAleStatus> pmSessions;  // in configuration order, then 1dm-in by sender
  std::vector<RemoteMepAleStatus> remoteMepStatus;  // by MEP id

 private:
  MepId mepId_;
};

class MaAleStatus : public Kiln::Entity {
 public:
  using LocalMepStatuses = Kiln::Collection<MepId, LocalMepAleStatus>;

  explicit MaAleStatus(MaName key);
  const MaName& maNameKey() const { return maNameKey_; }

  Kiln::Ptr<LocalMepAleStatus> localMepStatus(MepId mepId) const { return localMepStatus_.find(mepId); }
  Kiln::Ptr<LocalMepAleStatus> localMepStatusIs(MepId mepId) { return localMepStatus_.childIs(mepId, this); }
  void localMepStatusDel(MepId mepId) { localMepStatus_.del(mepId); }
  const LocalMepStatuses& localMepStatus() const { return localMepStatus_; }

 private:
  MaName maNameKey_;
  LocalMepStatuses localMepStatus_;
};

class MdAleStatus : public Kiln::Entity {
 public:
  class NotifieeConst : public Kiln::Notifiee<MdAleStatus> {
   public:
    using Kiln::Notifiee<MdAleStatus>::Notifiee;
    virtual void onDefaultMip() {}
  };

  explicit MdAleStatus(MdLevel mdLevel);
  MdLevel mdLevel() const { return mdLevel_; }

  bool defaultMip() const { return defaultMip_; }
  void defaultMipIs(bool defaultMip) {
    Kiln::attributeIs(defaultMip_, defaultMip, notifieeList_, &NotifieeConst::onDefaultMip);
  }

  // The local MEPs' status by association; not notified.
  using MaStatuses = Kiln::Collection<MaName, MaAleStatus>;
  Kiln::Ptr<MaAleStatus> maStatus(const MaName& name) const { return maStatus_.find(name); }
  Kiln::Ptr<MaAleStatus> maStatusIs(const MaName& name) { return maStatus_.childIs(name, this); }
  void maStatusDel(const MaName& name) { maStatus_.del(name); }
  const MaStatuses& maStatus() const { return maStatus_; }

  Kiln::NotifieeList<MdAleStatus>& notifieeList() const { return notifieeList_; }

 private:
  MdLevel mdLevel_;
  bool defaultMip_ = false;
  MaStatuses maStatus_;
  mutable Kiln::NotifieeList<MdAleStatus> notifieeList_;
};

class AleStatus : public Kiln::Entity {
 public:
  using MdStatuses = Kiln::Collection<MdLevel, MdAleStatus>;

  class NotifieeConst : public Kiln::Notifiee<AleStatus> {
   public:
    using Kiln::Notifiee<AleStatus>::Notifiee;
    // A domain's status entry came or went.
    virtual void onMdStatus(MdLevel) {}
  };

  explicit AleStatus(std::string name = "aleStatus") : Kiln::Entity(std::move(name)) {}

  Kiln::Ptr<MdAleStatus> mdStatus(MdLevel level) const { return mdStatus_.find(level); }
  Kiln::Ptr<MdAleStatus> mdStatusIs(MdLevel level);
  void mdStatusDel(MdLevel level);
  const MdStatuses& mdStatus() const { return mdStatus_; }

  Kiln::NotifieeList<AleStatus>& notifieeList() const { return notifieeList_; }

 private:
  MdStatuses mdStatus_;
  mutable Kiln::NotifieeList<AleStatus> notifieeList_;
};

}  // namespace Cfm
