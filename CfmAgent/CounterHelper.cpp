#include "CfmAgent/CounterHelper.h"

#include "platform/kiln/Errors.h"

namespace CfmAgent {

CounterHelper::CounterHelper(Kiln::Ptr<Counter> counter)
    : Kiln::Entity("counterHelper"), counter_(std::move(counter)) {}

// The classes are ranges of identifiers: in-errors lie between `in` and `out`, debug
// counters after `outErrorNoPam`.
static_assert(CounterId::in_ < CounterId::inErrorMipNotConfigured_ &&
              CounterId::inErrorLtmTargetMac_ < CounterId::out_ &&
              CounterId::out_ < CounterId::outErrorNoPam_ &&
              CounterId::outErrorNoPam_ < CounterId::debugUnsupportedMdNameFormat_);

OpCodeCounter* CounterHelper::cachedBucket(Lumen::IntfId intf, Cfm::MdLevel mdLevel,
                                           Cfm::OpCode opCode) {
  if (bucketsVersion_ != counter_->structureVersion()) {
    buckets_.clear();
    bucketsVersion_ = counter_->structureVersion();
    return nullptr;
  }
  if (intf.denseIndex() >= buckets_.size()) return nullptr;
  for (Bucket& bucket : buckets_[intf.denseIndex()].buckets) {
    if (bucket.mdLevel == mdLevel && bucket.opCode == opCode && bucket.counters) return bucket.counters.get();
  }
  return nullptr;
}

OpCodeCounter& CounterHelper::cache(Lumen::IntfId intf, Cfm::MdLevel mdLevel, Cfm::OpCode opCode,
                                    Kiln::Ptr<OpCodeCounter> counters) {
  if (intf.denseIndex() >= buckets_.size()) buckets_.resize(intf.denseIndex() + 1);
  IntfBuckets& own = buckets_[intf.denseIndex()];
  Bucket& bucket = own.buckets[own.next];
  own.next = (own.next + 1) % own.buckets.size();
  bucket = Bucket{mdLevel, opCode, std::move(counters)};
  return *bucket.counters;
}

namespace {

// Each member of `members` whose key `keys` lists, or every member when it lists none.
template <class Keys, class Members, class Fn>
void forSelected(const Keys& keys, const Members& members, Fn fn) {
  if (keys.empty()) {
    for (const auto& [key, member] : members) fn(*member);
    return;
  }
  for (const auto& [key, flag] : keys) {
    if (const auto member = members.find(key)) fn(*member);
  }
}

}  // namespace

Kiln::Ptr<AggregateCounterId> CounterHelper::aggregateCounterId(const CounterFilter& filter) const {
  auto result = aggregateCounterFactory();
  result->newAggregateCounterId();
  return aggregateCounter(filter, result)->aggregateCounterId();
}

Kiln::Ptr<AggregateCounterClass> CounterHelper::aggregateCounterClass(const CounterFilter& filter) const {
  auto result = aggregateCounterFactory();
  result->newAggregateCounterClass();
  return aggregateCounter(filter, result)->aggregateCounterClass();
}

Kiln::Ptr<AggregateCounter> CounterHelper::aggregateCounter(const CounterFilter& filter,
                                                            Kiln::Ptr<AggregateCounter> result) const {
  forSelected(filter.intf(), counter_->intfCounter(),
              [&](const IntfCounter& intfCounter) { aggregateIntfCounter(intfCounter, filter, *result); });
  return result;
}

void CounterHelper::aggregateIntfCounter(const IntfCounter& intfCounter, const CounterFilter& filter,
                                         AggregateCounter& result) const {
  forSelected(filter.mdLevel(), intfCounter.mdCounter(),
              [&](const MdCounter& mdCounter) { aggregateMdCounter(mdCounter, filter, result); });
}

void CounterHelper::aggregateMdCounter(const MdCounter& mdCounter, const CounterFilter& filter,
                                       AggregateCounter& result) const {
  forSelected(filter.opCode(), mdCounter.opCodeCounter(),
              [&](const OpCodeCounter& opCodeCounter) { aggregateOpCodeCounter(opCodeCounter, filter, result); });
}

void CounterHelper::aggregateOpCodeCounter(const OpCodeCounter& opCodeCounter, const CounterFilter& filter,
                                           AggregateCounter& result) const {
  for (const auto& [id, value] : opCodeCounter.counter()) {
    const CounterClass cls = counterClass(id);
    if (!filter.admits(cls, id)) continue;
    if (result.aggregateCounterClass()) {
      result.aggregateCounterClass()->counterInc(cls, value);
    } else {
      result.aggregateCounterIdIs()->counterInc(id, value);
    }
  }
}

void CounterHelper::clearCounter(const CounterFilter& filter) {
  const bool belowIntf = !filter.mdLevel().empty() || !filter.opCode().empty() ||
                         !filter.counterClass().empty() || !filter.counterId().empty();
  if (filter.intf().empty() && !belowIntf) return counter_->intfCounterDelAll();
  for (const auto& [intf, flag] : filter.intf()) {
    const auto intfCounter = counter_->intfCounter(intf);
    if (!intfCounter) continue;
    if (belowIntf) {
      clearIntfCounter(*intfCounter, filter);
    } else {
      counter_->intfCounterDel(intf);
    }
  }
}

void CounterHelper::clearIntfCounter(IntfCounter& intfCounter, const CounterFilter& filter) {
  const bool belowMd = !filter.opCode().empty() || !filter.counterClass().empty() || !filter.counterId().empty();
  for (const auto& [level, flag] : filter.mdLevel()) {
    const auto mdCounter = intfCounter.mdCounter(level);
    if (!mdCounter) continue;
    if (belowMd) {
      clearMdCounter(*mdCounter, filter);
    } else {
      intfCounter.mdCounterDel(level);
    }
  }
}

void CounterHelper::clearMdCounter(MdCounter& mdCounter, const CounterFilter& filter) {
  const bool belowOpCode = !filter.counterClass().empty() || !filter.counterId().empty();
  for (const auto& [opCode, flag] : filter.opCode()) {
    const auto opCodeCounter = mdCounter.opCodeCounter(opCode);
    if (!opCodeCounter) continue;
    if (belowOpCode) {
      clearOpCodeCounter(*opCodeCounter, filter);
    } else {
      mdCounter.opCodeCounterDel(opCode);
    }
  }
}

void CounterHelper::clearOpCodeCounter(OpCodeCounter& opCodeCounter, const CounterFilter& filter) {
  for (const auto& [id, value] : opCodeCounter.counter()) {
    if (!filter.admits(counterClass(id), id)) continue;
    opCodeCounter.counterDel(id);
    if (id == CounterId::in_) invalidMdOpCodeInCounterIdClearVersionInc();
  }
}

OpCodeCounter& CounterHelper::opCodeCounterIs(Lumen::IntfId intf, Cfm::MdLevel mdLevel,
                                              Cfm::OpCode opCode) {
  if (OpCodeCounter* counters = cachedBucket(intf, mdLevel, opCode)) return *counters;
  return cache(intf, mdLevel, opCode,
               counter_->intfCounterIs(intf)->mdCounterIs(mdLevel)->opCodeCounterIs(opCode));
}

OpCodeCounter* CounterHelper::opCodeCounter(Lumen::IntfId intf, Cfm::MdLevel mdLevel,
                                            Cfm::OpCode opCode) {
  if (OpCodeCounter* counters = cachedBucket(intf, mdLevel, opCode)) return counters;
  const auto intfCounter = counter_->intfCounter(intf);
  const auto mdCounter = intfCounter ? intfCounter->mdCounter(mdLevel) : nullptr;
  auto counters = mdCounter ? mdCounter->opCodeCounter(opCode) : nullptr;
  return counters ? &cache(intf, mdLevel, opCode, std::move(counters)) : nullptr;
}

Kiln::Ptr<CounterHelper> counterHelperFactory(Kiln::Ptr<Counter> counter) {
  return Kiln::make<CounterHelper>(std::move(counter));
}

PktCounterHelper::PktCounterHelper(Kiln::Ptr<CounterHelper> counterHelper)
    : counterHelper_(std::move(counterHelper)) {}

Kiln::Ptr<PktCounterHelper> pktCounterHelperFactory(Kiln::Ptr<CounterHelper> counterHelper) {
  return Kiln::make<PktCounterHelper>(std::move(counterHelper));
}

CounterClass PktCounterHelper::incrCounterCounterClass(CounterId id) {
  const CounterClass counterClass = CfmAgent::counterClass(id);
  return counterClass == CounterClass::counterClassOutError_ ? CounterClass::counterClassOut_
                                                            : counterClass;
}

void PktCounterHelper::incrCounter(Lumen::IntfId intf, Cfm::MdLevel mdLevel, Cfm::OpCode opCode,
                                   CounterId counterId) {
  KILN_ASSERT_TEXT(!intf.empty(), "intf");

  if (counterId == CounterId::in_) {
    if (inCounterIdIncrCount() != 0) {
      KILN_ASSERT(inCounterIdIncrCount() <= 1);
      KILN_ASSERT(lastIncrCounterIdValid());
      KILN_ASSERT(lastIncrCounterId() == CounterId::in_);
      KILN_ASSERT_TEXT(mdLevel.isValid() && opCode, "!!mdLevel && opCode");
      KILN_ASSERT(invalidMdOpCodeInCounterIdClearVersion() <=
                  counterHelper()->invalidMdOpCodeInCounterIdClearVersion());
      // After a clear the provisional count is gone already: nothing to take back.
      if (invalidMdOpCodeInCounterIdClearVersion() ==
          counterHelper()->invalidMdOpCodeInCounterIdClearVersion()) {
        auto* inCntr = counterHelper_->opCodeCounter(intf, Cfm::MdLevel(), Cfm::opCodeNone);
        KILN_ASSERT_TEXT(inCntr && inCntr->counter(CounterId::in_) >= 1, "inCntr");
        inCntr->counterIs(CounterId::in_, inCntr->counter(CounterId::in_) - 1);
      }
      lastIncrCounterIdValid_ = false;
    }
    ++inCounterIdIncrCount_;
  }

  const CounterClass counterClass = incrCounterCounterClass(counterId);
  const bool debug = counterClass == CounterClass::counterClassDebug_;
  if (lastIncrCounterIdValid() && !debug) {
    KILN_ASSERT_TEXT(counterClass > incrCounterCounterClass(lastIncrCounterId()),
                     "counterClass > incrCounterCounterClass( lastIncrCounterId() )");
  }

  counterHelper_->opCodeCounterIs(intf, mdLevel, opCode).counterInc(counterId, 1);

  if (!debug) {
    lastIncrCounterId_ = counterId;
    lastIncrCounterIdValid_ = true;
  }
  if (counterId == CounterId::in_ && inCounterIdIncrCount() == 1) {
    KILN_ASSERT_TEXT(!mdLevel.isValid(), "!mdLevel");
    KILN_ASSERT_TEXT(!opCode, "!opCode");
    invalidMdOpCodeInCounterIdClearVersion_ = counterHelper()->invalidMdOpCodeInCounterIdClearVersion();
  }
}

}  // namespace CfmAgent
