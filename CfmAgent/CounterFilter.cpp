#include "CfmAgent/CounterFilter.h"

#include "platform/kiln/Errors.h"

namespace CfmAgent {

namespace {

template <class Key>
bool admitted(const std::map<Key, bool>& set, Key key) {
  if (set.empty()) return true;
  const auto it = set.find(key);
  return it != set.end() && it->second;
}

}  // namespace

bool CounterFilter::admits(CounterClass counterClass, CounterId counterId) const {
  return admitted(counterClass_, counterClass) && admitted(counterId_, counterId);
}

Kiln::Ptr<AggregateCounterId> AggregateCounter::aggregateCounterIdIs() {
  if (!aggregateCounterId_) aggregateCounterId_ = aggregateCounterIdFactory();
  return aggregateCounterId_;
}

Kiln::Ptr<AggregateCounterClass> AggregateCounter::aggregateCounterClassIs() {
  if (!aggregateCounterClass_) aggregateCounterClass_ = aggregateCounterClassFactory();
  return aggregateCounterClass_;
}

void AggregateCounter::aggregate(const AggregateCounter& other) {
  const bool aggrCounterId = bool(other.aggregateCounterId_), aggrCounterClass = bool(other.aggregateCounterClass_);
  KILN_ASSERT_TEXT(!(aggrCounterId && aggrCounterClass), "!( aggrCounterId && aggrCounterClass )");
  if (aggrCounterId) {
    KILN_ASSERT_TEXT(aggregateCounterId_, "aggregateCounterId");
    aggregateCounterId_->aggregate(*other.aggregateCounterId_);
  }
  if (aggrCounterClass) {
    KILN_ASSERT_TEXT(aggregateCounterClass_, "aggregateCounterClass");
    aggregateCounterClass_->aggregate(*other.aggregateCounterClass_);
  }
}

Kiln::Ptr<CounterFilter> counterFilterFactory() { return Kiln::make<CounterFilter>(); }
Kiln::Ptr<AggregateCounter> aggregateCounterFactory() { return Kiln::make<AggregateCounter>(); }
Kiln::Ptr<AggregateCounterId> aggregateCounterIdFactory() { return Kiln::make<AggregateCounterId>(); }
Kiln::Ptr<AggregateCounterClass> aggregateCounterClassFactory() { return Kiln::make<AggregateCounterClass>(); }

}  // namespace CfmAgent
