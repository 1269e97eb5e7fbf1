#pragma once
// The CFM agent's entity types: the operator's configuration ("cfm/config") that the agent
// translates, and the agent's status ("cfm/status") with the domain status it mirrors,
// the packet counter tree and the two CCM databases.
//
// Configuration types notify every change, since the agent's state machines follow them.
// Status types do not: the agent is their only writer and readers look them up.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <bitset>
#include <map>
#include <optional>
#include <ostream>
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

namespace CfmAgent {

using Lumen::EthAddr;
using Lumen::IntfId;

// ---- Configuration ----------------------------------------------------------------------

class CfmProfile : public Kiln::Entity {
 public:
  class NotifieeConst : public Kiln::Notifiee<CfmProfile> {
   public:
    using Kiln::Notifiee<CfmProfile>::Notifiee;
    virtual void onCcmTxInterval() {}
    virtual void onCcmEnable() {}
  };

  // Every profile starts out as the default profile: CCMs enabled, sent once a second
  // (the interval IEEE 802.1ag gives as the default), so an association that names no
  // existing profile still transmits.
  static constexpr bool defaultCcmEnable = true;
  static constexpr double defaultCcmTxInterval = 1.0;

  explicit CfmProfile(Cfm::CfmProfileName name);
  const Cfm::CfmProfileName& cfmProfileName() const { return cfmProfileName_; }

  Cfm::CcmTxInterval ccmTxInterval() const { return ccmTxInterval_; }
  void ccmTxIntervalIs(Cfm::CcmTxInterval interval) {
    Kiln::attributeIs(ccmTxInterval_, interval, notifieeList_, &NotifieeConst::onCcmTxInterval);
  }
  bool ccmEnable() const { return ccmEnable_; }
  void ccmEnableIs(bool enable) {
    Kiln::attributeIs(ccmEnable_, enable, notifieeList_, &NotifieeConst::onCcmEnable);
  }

  Kiln::NotifieeList<CfmProfile>& notifieeList() const { return notifieeList_; }

 private:
  Cfm::CfmProfileName cfmProfileName_;
  Cfm::CcmTxInterval ccmTxInterval_{defaultCcmTxInterval};
  bool ccmEnable_ = defaultCcmEnable;
  mutable Kiln::NotifieeList<CfmProfile> notifieeList_;
};

class LocalMepConfig : public Kiln::Entity {
 public:
  using RemoteMepConfigs = std::map<Cfm::MepId, bool>;

  class NotifieeConst : public Kiln::Notifiee<LocalMepConfig> {
   public:
    using Kiln::Notifiee<LocalMepConfig>::Notifiee;
    virtual void onIntfId() {}
    // The remote MEP's entry came, went or changed its value.
    virtual void onRemoteMepConfig(Cfm::MepId) {}
  };

  explicit LocalMepConfig(Cfm::MepId mepId);
  Cfm::MepId mepId() const { return mepId_; }

  IntfId intfId() const { return intfId_; }
  void intfIdIs(IntfId intf) {
    Kiln::attributeIs(intfId_, intf, notifieeList_, &NotifieeConst::onIntfId);
  }

  // False when the remote MEP is not configured.
  bool remoteMepConfig(Cfm::MepId mepId) const;
  void remoteMepConfigIs(Cfm::MepId mepId, bool value);
  void remoteMepConfigDel(Cfm::MepId mepId);
  const RemoteMepConfigs& remoteMepConfig() const { return remoteMepConfig_; }

  Kiln::NotifieeList<LocalMepConfig>& notifieeList() const { return notifieeList_; }

 private:
  Cfm::MepId mepId_;
  IntfId intfId_;
  RemoteMepConfigs remoteMepConfig_;
  mutable Kiln::NotifieeList<LocalMepConfig> notifieeList_;
};

class MaConfig : public Kiln::Entity {
 public:
  using LocalMepConfigs = Kiln::Collection<Cfm::MepId, LocalMepConfig>;

  class NotifieeConst : public Kiln::Notifiee<MaConfig> {
   public:
    using Kiln::Notifiee<MaConfig>::Notifiee;
    virtual void onMaName() {}
    virtual void onDirection() {}
    virtual void onPrimaryVlanId() {}
    virtual void onCfmProfileName() {}
    virtual void onLocalMepConfig(Cfm::MepId) {}
  };

  // The key identifies the association within its domain; `maName` is what goes on the
  // wire, with its format.
  explicit MaConfig(Cfm::MaName key);
  const Cfm::MaName& maNameKey() const { return maNameKey_; }

  const Cfm::MaNameWithFormat& maName() const { return maName_; }
  void maNameIs(const Cfm::MaNameWithFormat& name) {
    Kiln::attributeIs(maName_, name, notifieeList_, &NotifieeConst::onMaName);
  }
  Cfm::MepDirection direction() const { return direction_; }
  void directionIs(Cfm::MepDirection direction) {
    Kiln::attributeIs(direction_, direction, notifieeList_, &NotifieeConst::onDirection);
  }
  Bridging::VlanIdOrNone primaryVlanId() const { return primaryVlanId_; }
  void primaryVlanIdIs(Bridging::VlanIdOrNone vlan) {
    Kiln::attributeIs(primaryVlanId_, vlan, notifieeList_, &NotifieeConst::onPrimaryVlanId);
  }
  const Cfm::CfmProfileName& cfmProfileName() const { return cfmProfileName_; }
  void cfmProfileNameIs(const Cfm::CfmProfileName& name) {
    Kiln::attributeIs(cfmProfileName_, name, notifieeList_, &NotifieeConst::onCfmProfileName);
  }

  Kiln::Ptr<LocalMepConfig> localMepConfig(Cfm::MepId mepId) const {
    return localMepConfig_.find(mepId);
  }
  Kiln::Ptr<LocalMepConfig> localMepConfigIs(Cfm::MepId mepId);
  void localMepConfigDel(Cfm::MepId mepId);
  const LocalMepConfigs& localMepConfig() const { return localMepConfig_; }

  Kiln::NotifieeList<MaConfig>& notifieeList() const { return notifieeList_; }

 private:
  Cfm::MaName maNameKey_;
  Cfm::MaNameWithFormat maName_;
  Cfm::MepDirection direction_ = Cfm::mepDirectionDown;
  Bridging::VlanIdOrNone primaryVlanId_;
  Cfm::CfmProfileName cfmProfileName_;
  LocalMepConfigs localMepConfig_;
  mutable Kiln::NotifieeList<MaConfig> notifieeList_;
};

class MdConfig : public Kiln::Entity {
 public:
  using MaConfigs = Kiln::Collection<Cfm::MaName, MaConfig>;

  class NotifieeConst : public Kiln::Notifiee<MdConfig> {
   public:
    using Kiln::Notifiee<MdConfig>::Notifiee;
    virtual void onMdName() {}
    virtual void onDefaultMip() {}
    virtual void onMaConfig(const Cfm::MaName&) {}
  };

  explicit MdConfig(Cfm::MdLevel mdLevel);
  Cfm::MdLevel mdLevel() const { return mdLevel_; }

  const Cfm::MdNameWithFormat& mdName() const { return mdName_; }
  void mdNameIs(const Cfm::MdNameWithFormat& name) {
    Kiln::attributeIs(mdName_, name, notifieeList_, &NotifieeConst::onMdName);
  }
  bool defaultMip() const { return defaultMip_; }
  void defaultMipIs(bool defaultMip) {
    Kiln::attributeIs(defaultMip_, defaultMip, notifieeList_, &NotifieeConst::onDefaultMip);
  }

  Kiln::Ptr<MaConfig> maConfig(const Cfm::MaName& name) const { return maConfig_.find(name); }
  Kiln::Ptr<MaConfig> maConfigIs(const Cfm::MaName& name);
  void maConfigDel(const Cfm::MaName& name);
  const MaConfigs& maConfig() const { return maConfig_; }

  Kiln::NotifieeList<MdConfig>& notifieeList() const { return notifieeList_; }

 private:
  Cfm::MdLevel mdLevel_;
  Cfm::MdNameWithFormat mdName_;
  bool defaultMip_ = false;
  MaConfigs maConfig_;
  mutable Kiln::NotifieeList<MdConfig> notifieeList_;
};

class Config : public Kiln::Entity {
 public:
  using MdConfigs = Kiln::Collection<Cfm::MdLevel, MdConfig>;
  using CfmProfiles = Kiln::Collection<Cfm::CfmProfileName, CfmProfile>;

  class NotifieeConst : public Kiln::Notifiee<Config> {
   public:
    using Kiln::Notifiee<Config>::Notifiee;
    virtual void onMdConfig(Cfm::MdLevel) {}
    virtual void onCfmProfile(const Cfm::CfmProfileName&) {}
    virtual void onCcmDbEntryLimit() {}
    virtual void onMipCcmDbEntryLimit() {}
  };

  // Every valid CCM can make an entry in each CCM database, and the values that key them
  // (MA names, MEP ids, source addresses) cost an attacker nothing: the limits bound the
  // memory a flood can take. A limit bounds entries made from now on; lowering it deletes
  // nothing. docs/security.md ("Bounded memory") has the bytes per entry behind both
  // figures: the defaults, full, take a tenth of the daemon unit's MemoryMax, and the
  // largest limit full, exported once by `cfmctl show`, still fits in it.
  static constexpr std::uint32_t defaultCcmDbEntryLimit = 65536;
  static constexpr std::uint32_t defaultMipCcmDbEntryLimit = 65536;
  static constexpr std::uint32_t maxDbEntryLimit = 131072;

  explicit Config(std::string name = "config");

  // MEPs (level, MA name, MEP id) the CCM database may hold.
  std::uint32_t ccmDbEntryLimit() const { return ccmDbEntryLimit_; }
  void ccmDbEntryLimitIs(std::uint32_t limit) {
    Kiln::attributeIs(ccmDbEntryLimit_, limit, notifieeList_, &NotifieeConst::onCcmDbEntryLimit);
  }
  // (VLAN, source MAC) entries the MIP CCM database may hold, over all VLANs.
  std::uint32_t mipCcmDbEntryLimit() const { return mipCcmDbEntryLimit_; }
  void mipCcmDbEntryLimitIs(std::uint32_t limit) {
    Kiln::attributeIs(mipCcmDbEntryLimit_, limit, notifieeList_,
                      &NotifieeConst::onMipCcmDbEntryLimit);
  }

  Kiln::Ptr<MdConfig> mdConfig(Cfm::MdLevel level) const { return mdConfig_.find(level); }
  Kiln::Ptr<MdConfig> mdConfigIs(Cfm::MdLevel level);
  void mdConfigDel(Cfm::MdLevel level);
  const MdConfigs& mdConfig() const { return mdConfig_; }

  Kiln::Ptr<CfmProfile> cfmProfile(const Cfm::CfmProfileName& name) const {
    return cfmProfile_.find(name);
  }
  Kiln::Ptr<CfmProfile> cfmProfileIs(const Cfm::CfmProfileName& name);
  void cfmProfileDel(const Cfm::CfmProfileName& name);
  const CfmProfiles& cfmProfile() const { return cfmProfile_; }

  // The profile of associations whose named profile does not exist. Named "default",
  // outside the `cfmProfile` collection (a profile the operator names "default" is a
  // different one), with the values CfmProfile starts with. One object for the Config's
  // life, so that machines can stay bound to it.
  Kiln::Ptr<CfmProfile> defaultCfmProfile() const { return defaultCfmProfile_; }

  Kiln::NotifieeList<Config>& notifieeList() const { return notifieeList_; }

 private:
  MdConfigs mdConfig_;
  CfmProfiles cfmProfile_;
  Kiln::Ptr<CfmProfile> defaultCfmProfile_;
  std::uint32_t ccmDbEntryLimit_ = defaultCcmDbEntryLimit;
  std::uint32_t mipCcmDbEntryLimit_ = defaultMipCcmDbEntryLimit;
  mutable Kiln::NotifieeList<Config> notifieeList_;
};

// ---- Packet counters --------------------------------------------------------------------

// What a counter counts, as X(name, number): the one list of counters, from which the
// enumeration and its names come (docs/counters.md documents each; a test holds the two
// together). The number decides the class (in 0, in-error 1-27, out 28, out-error 29, debug
// 30 and above). 31 has no name: nothing counts it, and it prints as its number like any
// other unnamed value read from the state database.
#define CFM_AGENT_COUNTER_IDS(X)       \
  X(in, 0)                             \
  X(inErrorMipNotConfigured, 1)        \
  X(inErrorSrcMacNotUnicast, 2)        \
  X(inErrorEthHdrTooShort, 3)          \
  X(inErrorIntfModeExcluded, 4)        \
  X(inErrorNoBridgingVlan, 5)          \
  X(inErrorVlanTagTooShort, 6)         \
  X(inErrorNotCfmEtherType, 7)         \
  X(inErrorCfmHdrTooShort, 8)          \
  X(inErrorNoMpAtMdLevel, 9)           \
  X(inErrorDstMacOpCodeMismatch, 10)   \
  X(inErrorDstMacMdLevelMismatch, 11)  \
  X(inErrorUnsupportedOpCode, 12)      \
  X(inErrorFirstTlvOffsetTooSmall, 13) \
  X(inErrorFirstTlvOffsetTooLarge, 14) \
  X(inErrorNoProtocolHandler, 15)      \
  X(inErrorPduTooLong, 16)             \
  X(inErrorPduTooShort, 17)            \
  X(inErrorTlvHdrTruncated, 18)        \
  X(inErrorTlvLenTooLarge, 19)         \
  X(inErrorCcmIntervalZero, 20)        \
  X(inErrorCcmMepIdInvalid, 21)        \
  X(inErrorCcmMdNameLen, 22)           \
  X(inErrorCcmMaNameLen, 23)           \
  X(inErrorLbmDstMacMismatch, 24)      \
  X(inErrorLtmTtlZero, 25)             \
  X(inErrorLtmOriginalMac, 26)         \
  X(inErrorLtmTargetMac, 27)           \
  X(out, 28)                           \
  X(outErrorNoPam, 29)                 \
  X(debugUnsupportedMdNameFormat, 30)  \
  X(debugLtmEgressIdTlvLen, 32)        \
  X(debugLtmTtlExpired, 33)            \
  X(debugLtmNoEgressPort, 34)          \
  X(debugReplyTooBig, 35)              \
  X(debugLtmRelayTooBig, 36)           \
  X(debugCcmDbFull, 37)                \
  X(debugMipCcmDbFull, 38)

enum class CounterId : std::uint32_t {
#define CFM_AGENT_COUNTER_ID_ENUMERATOR(name, number) name##_ = number,
  CFM_AGENT_COUNTER_IDS(CFM_AGENT_COUNTER_ID_ENUMERATOR)
#undef CFM_AGENT_COUNTER_ID_ENUMERATOR
};
// One more than the largest identifier: the rows of a table indexed by identifier.
inline constexpr std::size_t counterIdSlots = std::max({
#define CFM_AGENT_COUNTER_ID_NUMBER(name, number) std::size_t(number),
    CFM_AGENT_COUNTER_IDS(CFM_AGENT_COUNTER_ID_NUMBER)
#undef CFM_AGENT_COUNTER_ID_NUMBER
}) + 1;
// The name without its trailing underscore ("inErrorEthHdrTooShort"); the number for a
// value without a name.
std::string stringValue(CounterId id);
std::ostream& operator<<(std::ostream& os, CounterId id);
// The identifier of a name as stringValue writes it; none for anything else.
std::optional<CounterId> counterIdFromString(std::string_view name);

enum class CounterClass : std::uint32_t {
  counterClassInvalid_ = 0,
  counterClassIn_ = 1,
  counterClassInError_ = 2,
  counterClassOut_ = 3,
  counterClassOutError_ = 4,
  counterClassDebug_ = 5,
};
std::string stringValue(CounterClass counterClass);
std::ostream& operator<<(std::ostream& os, CounterClass counterClass);

// The tree below is walked once per counted event: each level is a keyed look-up that
// allocates only when it creates the member.

class OpCodeCounter : public Kiln::Entity {
 public:
  // Identifiers are small numbers: one slot each, and a bit that says whether the entry
  // exists (a clear deletes entries, it never zeroes them).
  static constexpr std::size_t slots = counterIdSlots;

  // The entries that exist, in identifier order, as (identifier, count) pairs.
  class Counters {
   public:
    using const_iterator = Kiln::SlotIterator<OpCodeCounter, slots>;

    explicit Counters(const OpCodeCounter& owner) : owner_(owner) {}
    const_iterator begin() const { return {&owner_, 0}; }
    const_iterator end() const { return {&owner_, slots}; }
    std::size_t size() const { return owner_.present_.count(); }
    bool empty() const { return owner_.present_.none(); }

   private:
    const OpCodeCounter& owner_;
  };

  explicit OpCodeCounter(Cfm::OpCode opCode);
  Cfm::OpCode opCode() const { return opCode_; }

  // Zero when absent.
  std::uint64_t counter(CounterId id) const {
    const auto slot = std::size_t(id);
    return slot < slots && present_[slot] ? value_[slot] : 0;
  }
  // An identifier without a slot is a caller's error, as any identifier the agent does not
  // define.
  void counterIs(CounterId id, std::uint64_t value) {
    const auto slot = checkedSlot(id);
    value_[slot] = value;
    present_.set(slot);
  }
  // Creates the entry at zero when absent; wraps at 2^64 like any unsigned count.
  void counterInc(CounterId id, std::uint64_t delta) {
    const auto slot = checkedSlot(id);
    value_[slot] = present_[slot] ? value_[slot] + delta : delta;
    present_.set(slot);
  }
  // Safe while iterating: the iterator moves on from the entry it stands on.
  void counterDel(CounterId id) {
    if (const auto slot = std::size_t(id); slot < slots) present_.reset(slot);
  }
  Counters counter() const { return Counters(*this); }

 private:
  friend Counters::const_iterator;
  bool occupied(std::size_t slot) const { return present_[slot]; }
  std::pair<CounterId, std::uint64_t> at(std::size_t slot) const { return {CounterId(slot), value_[slot]}; }
  static std::size_t checkedSlot(CounterId id);

  Cfm::OpCode opCode_;
  std::array<std::uint64_t, slots> value_{};
  std::bitset<slots> present_;
};

class MdCounter : public Kiln::Entity {
 public:
  using OpCodeCounters = Kiln::Collection<Cfm::OpCode, OpCodeCounter>;

  // Level 8 collects what was counted before the CFM header was accepted.
  explicit MdCounter(Cfm::MdLevel mdLevel);
  Cfm::MdLevel mdLevel() const { return mdLevel_; }

  // Opcode 0 collects what was counted before the opcode was accepted.
  Kiln::Ptr<OpCodeCounter> opCodeCounter(Cfm::OpCode op) const { return opCodeCounter_.find(op); }
  Kiln::Ptr<OpCodeCounter> opCodeCounterIs(Cfm::OpCode op) {
    return opCodeCounter_.childIs(op, this);
  }
  void opCodeCounterDel(Cfm::OpCode op);
  void opCodeCounterDelAll();
  const OpCodeCounters& opCodeCounter() const { return opCodeCounter_; }

 private:
  Cfm::MdLevel mdLevel_;
  OpCodeCounters opCodeCounter_;
};

class IntfCounter : public Kiln::Entity {
 public:
  using MdCounters = Kiln::Collection<Cfm::MdLevel, MdCounter>;

  explicit IntfCounter(IntfId intfId);
  IntfId intfId() const { return intfId_; }

  Kiln::Ptr<MdCounter> mdCounter(Cfm::MdLevel level) const { return mdCounter_.find(level); }
  Kiln::Ptr<MdCounter> mdCounterIs(Cfm::MdLevel level) { return mdCounter_.childIs(level, this); }
  void mdCounterDel(Cfm::MdLevel level);
  void mdCounterDelAll();
  const MdCounters& mdCounter() const { return mdCounter_; }

 private:
  IntfId intfId_;
  MdCounters mdCounter_;
};

class Counter : public Kiln::Entity {
 public:
  using IntfCounters = Kiln::Collection<IntfId, IntfCounter>;

  explicit Counter(std::string name = "counter") : Kiln::Entity(std::move(name)) {}

  Kiln::Ptr<IntfCounter> intfCounter(IntfId intf) const { return intfCounter_.find(intf); }
  Kiln::Ptr<IntfCounter> intfCounterIs(IntfId intf) { return intfCounter_.childIs(intf, this); }
  void intfCounterDel(IntfId intf);
  void intfCounterDelAll();
  // Moves on whenever a bucket (an interface's, a level's or an opcode's counters) leaves
  // the tree: whoever keeps a bucket to count into knows when to look it up again.
  std::uint64_t structureVersion() const { return structureVersion_; }
  void structureVersionInc() { ++structureVersion_; }
  const IntfCounters& intfCounter() const { return intfCounter_; }

 private:
  IntfCounters intfCounter_;
  std::uint64_t structureVersion_ = 0;
};

// ---- CCM databases ----------------------------------------------------------------------

// Which interface CCMs from a source MAC address arrived on, within one bridging VLAN.
class MipCcmDbVlan : public Kiln::Entity {
 public:
  // Sorted by address, in one array: a VLAN holds a few senders, looked up with every CCM.
  using Entries = std::vector<std::pair<EthAddr, IntfId>>;

  explicit MipCcmDbVlan(Bridging::VlanId vlanId);
  Bridging::VlanId vlanId() const { return vlanId_; }

  // The empty IntfId when the address is unknown.
  IntfId entry(const EthAddr& srcMac) const;
  // A later CCM from the same address moves it to its interface.
  void entryIs(const EthAddr& srcMac, IntfId intf);
  void entryDel(const EthAddr& srcMac);
  const Entries& entry() const { return entry_; }

 private:
  Bridging::VlanId vlanId_;
  Entries entry_;
};

class MipCcmDb : public Kiln::Entity {
 public:
  using Vlans = Kiln::IndexedCollection<Bridging::VlanId, MipCcmDbVlan, Bridging::VlanId::max + 1>;

  explicit MipCcmDb(std::string name = "mipCcmDb") : Kiln::Entity(std::move(name)) {}

  Kiln::Ptr<MipCcmDbVlan> vlan(Bridging::VlanId vlanId) const { return vlan_.find(vlanId); }
  Kiln::Ptr<MipCcmDbVlan> vlanIs(Bridging::VlanId vlanId) { return vlan_.childIs(vlanId, this); }
  void vlanDel(Bridging::VlanId vlanId);
  void vlanDelAll();
  const Vlans& vlan() const { return vlan_; }

  // Entries over all VLANs, kept as they come and go: the receiver compares it with its
  // limit on every new address, where a walk of 4,094 VLANs would cost too much.
  std::size_t entryCount() const { return entryCount_; }

 private:
  friend class MipCcmDbVlan;

  Vlans vlan_;
  std::size_t entryCount_ = 0;
};

// Where and when the last CCM from one MEP was seen.
class CcmMepInfo : public Kiln::Entity {
 public:
  explicit CcmMepInfo(Cfm::MepId mepId);
  Cfm::MepId mepId() const { return mepId_; }

  Bridging::VlanId vlanId() const { return vlanId_; }
  void vlanIdIs(Bridging::VlanId vlanId) { vlanId_ = vlanId; }
  IntfId intf() const { return intf_; }
  void intfIs(IntfId intf) { intf_ = intf; }
  EthAddr srcMac() const { return srcMac_; }
  void srcMacIs(const EthAddr& mac) { srcMac_ = mac; }
  // Seconds on Kiln::now().
  double lastCcmReceivedTime() const { return lastCcmReceivedTime_; }
  void lastCcmReceivedTimeIs(double time) { lastCcmReceivedTime_ = time; }

 private:
  Cfm::MepId mepId_;
  Bridging::VlanId vlanId_;
  IntfId intf_;
  EthAddr srcMac_;
  double lastCcmReceivedTime_ = 0.0;
};

class CcmMa : public Kiln::Entity {
 public:
  using CcmMepInfos = Kiln::Collection<Cfm::MepId, CcmMepInfo>;

  // Only the MA name bytes: CCMs with another name format or MD name share the entry.
  explicit CcmMa(Cfm::MaName maName);
  const Cfm::MaName& maName() const { return maName_; }

  Kiln::Ptr<CcmMepInfo> ccmMepInfo(Cfm::MepId mepId) const { return ccmMepInfo_.find(mepId); }
  Kiln::Ptr<CcmMepInfo> ccmMepInfoIs(Cfm::MepId mepId);
  void ccmMepInfoDel(Cfm::MepId mepId);
  const CcmMepInfos& ccmMepInfo() const { return ccmMepInfo_; }

 private:
  Cfm::MaName maName_;
  CcmMepInfos ccmMepInfo_;
};

class CcmMd : public Kiln::Entity {
 public:
  using CcmMas = Kiln::Collection<Cfm::MaName, CcmMa>;

  explicit CcmMd(Cfm::MdLevel mdLevel);
  Cfm::MdLevel mdLevel() const { return mdLevel_; }

  Kiln::Ptr<CcmMa> ccmMa(const Cfm::MaName& name) const { return ccmMa_.find(name); }
  Kiln::Ptr<CcmMa> ccmMaIs(const Cfm::MaName& name) { return ccmMa_.childIs(name, this); }
  void ccmMaDel(const Cfm::MaName& name);
  const CcmMas& ccmMa() const { return ccmMa_; }
  // The MEPs of all its associations.
  std::size_t entryCount() const;

 private:
  Cfm::MdLevel mdLevel_;
  CcmMas ccmMa_;
};

class CcmDb : public Kiln::Entity {
 public:
  using CcmMds = Kiln::Collection<Cfm::MdLevel, CcmMd>;

  explicit CcmDb(std::string name = "ccmDb") : Kiln::Entity(std::move(name)) {}

  Kiln::Ptr<CcmMd> ccmMd(Cfm::MdLevel level) const { return ccmMd_.find(level); }
  Kiln::Ptr<CcmMd> ccmMdIs(Cfm::MdLevel level) { return ccmMd_.childIs(level, this); }
  void ccmMdDel(Cfm::MdLevel level);
  void ccmMdDelAll();
  const CcmMds& ccmMd() const { return ccmMd_; }

  // The MEP at (level, MA name, MEP id), or null; creates nothing on the way.
  Kiln::Ptr<CcmMepInfo> ccmMepInfo(Cfm::MdLevel level, const Cfm::MaName& maName,
                                   Cfm::MepId mepId) const;
  // MEPs over all levels and associations, kept as they come and go: the receiver compares
  // it with its limit on every new MEP, where a walk of every association would cost too
  // much.
  std::size_t entryCount() const { return entryCount_; }

 private:
  friend class CcmMa;
  friend class CcmMd;

  CcmMds ccmMd_;
  std::size_t entryCount_ = 0;
};

// ---- Status -----------------------------------------------------------------------------

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
