#include "platform/ale/DelayStats.h"

#include <algorithm>
#include <bit>
#include <cmath>

namespace SoftAle {

namespace {

constexpr unsigned subBits = 8;  // log2(DelayStats::subBuckets)
static_assert(1u << subBits == DelayStats::subBuckets);
// Below 2^subBits every nanosecond has its bucket; each octave above has subBuckets.
constexpr std::size_t bucketCount = (DelayStats::maxOctave - subBits + 1) * DelayStats::subBuckets;

}  // namespace

DelayStats::DelayStats() : buckets_(bucketCount) {}

std::size_t DelayStats::bucketOf(std::uint64_t ns) {
  if (ns < subBuckets) return std::size_t(ns);
  const unsigned octave = std::min<unsigned>(unsigned(std::bit_width(ns)) - 1, maxOctave);
  if (octave == maxOctave && ns >= (std::uint64_t(1) << maxOctave)) return bucketCount - 1;
  const std::size_t sub = std::size_t(ns >> (octave - subBits)) & (subBuckets - 1);
  return (octave - subBits + 1) * subBuckets + sub;
}

std::int64_t DelayStats::middleOf(std::size_t index) {
  if (index < subBuckets) return std::int64_t(index);
  const unsigned octave = unsigned(index / subBuckets) + subBits - 1;
  const std::uint64_t width = std::uint64_t(1) << (octave - subBits);
  return std::int64_t((subBuckets + index % subBuckets) * width + width / 2);
}

void DelayStats::add(std::int64_t ns) {
  // A delay is what two timestamps of a frame say, and a frame can say anything: beyond
  // the last bucket every delay is the same, and the sums never overflow.
  ns = std::clamp<std::int64_t>(ns, 0, std::int64_t(1) << maxOctave);
  ++buckets_[bucketOf(std::uint64_t(ns))];
  min_ = count_ == 0 ? ns : std::min(min_, ns);
  max_ = std::max(max_, ns);
  sum_ += double(ns);
  if (last_ >= 0) variationSum_ += double(std::abs(ns - last_));
  last_ = ns;
  ++count_;
}

void DelayStats::clear() {
  std::fill(buckets_.begin(), buckets_.end(), 0);
  count_ = 0;
  min_ = max_ = 0;
  sum_ = variationSum_ = 0;
  last_ = -1;
}

std::int64_t DelayStats::percentile(double share) const {
  if (count_ == 0) return 0;
  // The rank of the sample: the smallest that has at least `share` of them at or below it.
  const auto rank = std::max<std::uint64_t>(1, std::uint64_t(std::ceil(share * double(count_))));
  std::uint64_t seen = 0;
  for (std::size_t i = 0; i < buckets_.size(); ++i) {
    seen += buckets_[i];
    // The bucket's middle, kept within what was seen: a bucket of one sample is exact at
    // either end of the range.
    if (seen >= rank) return std::clamp(middleOf(i), min_, max_);
  }
  return max_;
}

DelaySummary DelayStats::summary() const {
  if (count_ == 0) return {};
  return {count_,
          min_,
          max_,
          std::int64_t(std::llround(sum_ / double(count_))),
          percentile(0.5),
          percentile(0.99),
          count_ > 1 ? std::int64_t(std::llround(variationSum_ / double(count_ - 1))) : 0};
}

}  // namespace SoftAle
