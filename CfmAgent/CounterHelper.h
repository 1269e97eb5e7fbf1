#pragma once
// Packet counters: the agent's owner of the counter tree in "cfm/status", and the per-frame
// helper that keeps one frame's counts in order.
//
// A received frame is counted `in` at once, at (interface, no level, opcode 0), because
// nothing of its header is trusted yet. When its opcode is accepted it is counted `in`
// again at its real level and opcode and the first count is taken back, so every frame
// contributes exactly one `in`, in the right bucket when it has one.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "CfmAgent/CounterFilter.h"
#include "platform/kiln/Entity.h"
#include "platform/kiln/Pooled.h"
#include "platform/types/CfmCounters.h"

namespace CfmAgent {

class CounterHelper : public Kiln::Entity {
 public:
  explicit CounterHelper(Kiln::Ptr<Counter> counter);

  const Kiln::Ptr<Counter>& counter() const { return counter_; }
  // Moves on each time a clear deletes `in` counts: a frame whose provisional `in` was
  // counted before the clear must not take it back afterwards.
  std::uint32_t invalidMdOpCodeInCounterIdClearVersion() const {
    return invalidMdOpCodeInCounterIdClearVersion_;
  }
  void invalidMdOpCodeInCounterIdClearVersionInc() { ++invalidMdOpCodeInCounterIdClearVersion_; }

  // Sums of the counters `filter` selects, by identifier or by class. Nothing is changed;
  // a level of the tree that is missing adds nothing.
  Kiln::Ptr<AggregateCounterId> aggregateCounterId(const CounterFilter& filter) const;
  Kiln::Ptr<AggregateCounterClass> aggregateCounterClass(const CounterFilter& filter) const;
  // Into the class sums when `result` has them, else into its identifier sums.
  Kiln::Ptr<AggregateCounter> aggregateCounter(const CounterFilter& filter, Kiln::Ptr<AggregateCounter> result) const;
  void aggregateIntfCounter(const IntfCounter& intfCounter, const CounterFilter& filter, AggregateCounter& result) const;
  void aggregateMdCounter(const MdCounter& mdCounter, const CounterFilter& filter, AggregateCounter& result) const;
  void aggregateOpCodeCounter(const OpCodeCounter& opCodeCounter, const CounterFilter& filter,
                              AggregateCounter& result) const;

  // Deletes the counters `filter` selects; it never zeroes them. Below the interfaces only
  // the keys the filter lists are visited, so a level listed under an unlisted one selects
  // nothing; the empty filter deletes everything.
  void clearCounter(const CounterFilter& filter);
  void clearIntfCounter(IntfCounter& intfCounter, const CounterFilter& filter);
  void clearMdCounter(MdCounter& mdCounter, const CounterFilter& filter);
  void clearOpCodeCounter(OpCodeCounter& opCodeCounter, const CounterFilter& filter);

  // The counters of (intf, level, opcode), made on first use. A frame counts into two or
  // three buckets of its interface, and the next frame on that interface mostly into the
  // same ones: each interface keeps its last few, found by the interface's dense index
  // whatever the number of interfaces, and looked up in the tree again only after a bucket
  // has left it.
  OpCodeCounter& opCodeCounterIs(Lumen::IntfId intf, Cfm::MdLevel mdLevel, Cfm::OpCode opCode);
  // The same without making it: null when the tree has no such bucket.
  OpCodeCounter* opCodeCounter(Lumen::IntfId intf, Cfm::MdLevel mdLevel, Cfm::OpCode opCode);

 private:
  struct Bucket {
    Cfm::MdLevel mdLevel;
    Cfm::OpCode opCode = Cfm::opCodeNone;
    Kiln::Ptr<OpCodeCounter> counters;
  };
  struct IntfBuckets {
    std::array<Bucket, 4> buckets;
    std::size_t next = 0;
  };
  OpCodeCounter* cachedBucket(Lumen::IntfId intf, Cfm::MdLevel mdLevel, Cfm::OpCode opCode);
  OpCodeCounter& cache(Lumen::IntfId intf, Cfm::MdLevel mdLevel, Cfm::OpCode opCode,
                       Kiln::Ptr<OpCodeCounter> counters);

  Kiln::Ptr<Counter> counter_;
  std::uint32_t invalidMdOpCodeInCounterIdClearVersion_ = 0;
  std::vector<IntfBuckets> buckets_;  // by the interface's dense index
  std::uint64_t bucketsVersion_ = 0;
};

Kiln::Ptr<CounterHelper> counterHelperFactory(Kiln::Ptr<Counter> counter);

// One per frame: pooled.
class PktCounterHelper : public Kiln::Entity, public Kiln::Pooled<PktCounterHelper> {
 public:
  explicit PktCounterHelper(Kiln::Ptr<CounterHelper> counterHelper);

  const Kiln::Ptr<CounterHelper>& counterHelper() const { return counterHelper_; }
  std::uint8_t inCounterIdIncrCount() const { return inCounterIdIncrCount_; }
  std::uint32_t invalidMdOpCodeInCounterIdClearVersion() const {
    return invalidMdOpCodeInCounterIdClearVersion_;
  }
  bool lastIncrCounterIdValid() const { return lastIncrCounterIdValid_; }
  CounterId lastIncrCounterId() const { return lastIncrCounterId_; }

  // As counterClass(), with out-error ranked as out: a frame is counted out or
  // out-error, never both.
  static CounterClass incrCounterCounterClass(CounterId id);

  // Counts one event of this frame. The callers' invariants (interface set, at most two
  // `in`, class order in -> in-error -> out, debug anywhere) are asserted.
  void incrCounter(Lumen::IntfId intf, Cfm::MdLevel mdLevel, Cfm::OpCode opCode, CounterId counterId);

 private:
  Kiln::Ptr<CounterHelper> counterHelper_;
  std::uint8_t inCounterIdIncrCount_ = 0;
  std::uint32_t invalidMdOpCodeInCounterIdClearVersion_ = 0;
  bool lastIncrCounterIdValid_ = false;
  CounterId lastIncrCounterId_ = CounterId::in_;
};

Kiln::Ptr<PktCounterHelper> pktCounterHelperFactory(Kiln::Ptr<CounterHelper> counterHelper);

}  // namespace CfmAgent
