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

CounterHelper::Bucket* CounterHelper::cachedBucket(Lumen::IntfId intf, Cfm::MdLevel mdLevel,
                                                   Cfm::OpCode opCode) {
  if (bucketsVersion_ != counter_->structureVersion()) {
    for (Bucket& bucket : buckets_) bucket = Bucket{};
    bucketsVersion_ = counter_->structureVersion();
    return nullptr;
  }
  for (Bucket& bucket : buckets_) {
    if (bucket.intf == intf && bucket.mdLevel == mdLevel && bucket.opCode == opCode && bucket.counters) {
      return &bucket;
    }
  }
  return nullptr;
}

OpCodeCounter& CounterHelper::cache(Lumen::IntfId intf, Cfm::MdLevel mdLevel, Cfm::OpCode opCode,
                                    Kiln::Ptr<OpCodeCounter> counters) {
  Bucket& bucket = buckets_[nextBucket_];
  nextBucket_ = (nextBucket_ + 1) % buckets_.size();
  bucket = Bucket{intf, mdLevel, opCode, std::move(counters)};
  return *bucket.counters;
}

OpCodeCounter& CounterHelper::opCodeCounterIs(Lumen::IntfId intf, Cfm::MdLevel mdLevel,
                                              Cfm::OpCode opCode) {
  if (Bucket* bucket = cachedBucket(intf, mdLevel, opCode)) return *bucket->counters;
  return cache(intf, mdLevel, opCode,
               counter_->intfCounterIs(intf)->mdCounterIs(mdLevel)->opCodeCounterIs(opCode));
}

OpCodeCounter* CounterHelper::opCodeCounter(Lumen::IntfId intf, Cfm::MdLevel mdLevel,
                                            Cfm::OpCode opCode) {
  if (Bucket* bucket = cachedBucket(intf, mdLevel, opCode)) return bucket->counters.get();
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
  const CounterClass counterClass = CounterHelper::counterClass(id);
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
