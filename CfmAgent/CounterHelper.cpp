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

CounterClass CounterHelper::counterClass(CounterId id) {
  using enum CounterId;
  if (id == in_) return CounterClass::counterClassIn_;
  if (id < out_) return CounterClass::counterClassInError_;
  if (id == out_) return CounterClass::counterClassOut_;
  if (id == outErrorNoPam_) return CounterClass::counterClassOutError_;
  return CounterClass::counterClassDebug_;
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
  auto intfCounter = counterHelper_->counter()->intfCounterIs(intf);

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
        auto mdCounter = intfCounter->mdCounter(Cfm::MdLevel());
        auto inCntr = mdCounter ? mdCounter->opCodeCounter(Cfm::opCodeNone) : nullptr;
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

  intfCounter->mdCounterIs(mdLevel)->opCodeCounterIs(opCode)->counterInc(counterId, 1);

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
