#pragma once
// What an operator selects of the counter tree, and what aggregation sums into: built per
// request and dropped afterwards.

#include <cstdint>
#include <map>

#include "platform/kiln/Entity.h"
#include "platform/types/CfmCounters.h"

namespace CfmAgent {

// Each set selects by its keys. Interfaces, levels and opcodes select by presence; classes
// and identifiers only with the flag true. An empty set selects everything at its level.
class CounterFilter : public Kiln::Entity {
 public:
  const std::map<Lumen::IntfId, bool>& intf() const { return intf_; }
  void intfIs(Lumen::IntfId key, bool flag) { intf_[key] = flag; }
  void intfDel(Lumen::IntfId key) { intf_.erase(key); }
  void intfDelAll() { intf_.clear(); }

  const std::map<Cfm::MdLevel, bool>& mdLevel() const { return mdLevel_; }
  void mdLevelIs(Cfm::MdLevel key, bool flag) { mdLevel_[key] = flag; }
  void mdLevelDel(Cfm::MdLevel key) { mdLevel_.erase(key); }
  void mdLevelDelAll() { mdLevel_.clear(); }

  const std::map<Cfm::OpCode, bool>& opCode() const { return opCode_; }
  void opCodeIs(Cfm::OpCode key, bool flag) { opCode_[key] = flag; }
  void opCodeDel(Cfm::OpCode key) { opCode_.erase(key); }
  void opCodeDelAll() { opCode_.clear(); }

  const std::map<CounterClass, bool>& counterClass() const { return counterClass_; }
  void counterClassIs(CounterClass key, bool flag) { counterClass_[key] = flag; }
  void counterClassDel(CounterClass key) { counterClass_.erase(key); }
  void counterClassDelAll() { counterClass_.clear(); }

  const std::map<CounterId, bool>& counterId() const { return counterId_; }
  void counterIdIs(CounterId key, bool flag) { counterId_[key] = flag; }
  void counterIdDel(CounterId key) { counterId_.erase(key); }
  void counterIdDelAll() { counterId_.clear(); }

  // The class and identifier tests an entry of an opcode's counters must pass.
  bool admits(CounterClass counterClass, CounterId counterId) const;

 private:
  std::map<Lumen::IntfId, bool> intf_;
  std::map<Cfm::MdLevel, bool> mdLevel_;
  std::map<Cfm::OpCode, bool> opCode_;
  std::map<CounterClass, bool> counterClass_;
  std::map<CounterId, bool> counterId_;
};

// Sums by key; unsigned 64-bit, wrapping like the counters they add up.
template <class Key>
class AggregateMap : public Kiln::Entity {
 public:
  const std::map<Key, std::uint64_t>& counter() const { return counter_; }
  std::uint64_t counter(Key key) const {
    const auto it = counter_.find(key);
    return it == counter_.end() ? 0 : it->second;
  }
  void counterIs(Key key, std::uint64_t value) { counter_[key] = value; }
  void counterInc(Key key, std::uint64_t delta) { counter_[key] += delta; }
  void counterDel(Key key) { counter_.erase(key); }
  void counterDelAll() { counter_.clear(); }
  void aggregate(const AggregateMap& other) {
    for (const auto& [key, value] : other.counter_) counterInc(key, value);
  }

 private:
  std::map<Key, std::uint64_t> counter_;
};
using AggregateCounterId = AggregateMap<CounterId>;
using AggregateCounterClass = AggregateMap<CounterClass>;

class AggregateCounter : public Kiln::Entity {
 public:
  const Kiln::Ptr<AggregateCounterId>& aggregateCounterId() const { return aggregateCounterId_; }
  Kiln::Ptr<AggregateCounterId> aggregateCounterIdIs();
  Kiln::Ptr<AggregateCounterId> newAggregateCounterId() { return aggregateCounterIdIs(); }
  void aggregateCounterIdDel() { aggregateCounterId_ = nullptr; }

  const Kiln::Ptr<AggregateCounterClass>& aggregateCounterClass() const { return aggregateCounterClass_; }
  Kiln::Ptr<AggregateCounterClass> aggregateCounterClassIs();
  Kiln::Ptr<AggregateCounterClass> newAggregateCounterClass() { return aggregateCounterClassIs(); }
  void aggregateCounterClassDel() { aggregateCounterClass_ = nullptr; }

  // Adds `other`, which holds one kind of sums, into this one's sums of that kind.
  void aggregate(const AggregateCounter& other);

 private:
  Kiln::Ptr<AggregateCounterId> aggregateCounterId_;
  Kiln::Ptr<AggregateCounterClass> aggregateCounterClass_;
};

Kiln::Ptr<CounterFilter> counterFilterFactory();
Kiln::Ptr<AggregateCounter> aggregateCounterFactory();
Kiln::Ptr<AggregateCounterId> aggregateCounterIdFactory();
Kiln::Ptr<AggregateCounterClass> aggregateCounterClassFactory();

}  // namespace CfmAgent
