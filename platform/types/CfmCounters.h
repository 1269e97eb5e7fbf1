#pragma once
// The agent's packet counters: what a counter counts and its class, and the counter tree
// (interface -> MD level -> opcode -> identifier -> count) kept in the agent's status.

#include <algorithm>
#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <utility>

#include "platform/kiln/Collection.h"
#include "platform/lumen/IntfId.h"
#include "platform/types/CfmTypes.h"

namespace CfmAgent {

using Lumen::IntfId;

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
// 0 in, 1-27 in-error, 28 out, 29 out-error, 30 and above debug.
constexpr CounterClass counterClass(CounterId id) {
  using enum CounterId;
  if (id == in_) return CounterClass::counterClassIn_;
  if (id < out_) return CounterClass::counterClassInError_;
  if (id == out_) return CounterClass::counterClassOut_;
  if (id == outErrorNoPam_) return CounterClass::counterClassOutError_;
  return CounterClass::counterClassDebug_;
}

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

}  // namespace CfmAgent
