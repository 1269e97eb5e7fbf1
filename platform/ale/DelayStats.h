#pragma once
// The delays of one measurement interval of a Y.1731 delay session: their count, least,
// greatest and mean, two percentiles and the delay variation, in memory fixed at
// construction, so that a sample costs no allocation however many an interval takes.
//
// Percentiles come from a histogram whose buckets are 1/256 of an octave wide (exact below
// 256 ns): a percentile is the middle of its bucket, within 0.2% of the true sample (20 µs
// at 10 ms). Delays above 2^35 ns (34 s) count as 2^35 ns. The delay variation is
// Y.1731's inter-frame delay variation: the mean of the differences between consecutive
// delays, as magnitudes.

#include <array>
#include <cstdint>
#include <vector>

#include "platform/types/CfmAleTypes.h"

namespace SoftAle {

using Cfm::DelaySummary;

class DelayStats {
 public:
  static constexpr unsigned subBuckets = 256;
  static constexpr unsigned maxOctave = 35;

  DelayStats();

  // A delay of `ns`; below 0 (a clock stepped back between the times it came from) it
  // counts as 0.
  void add(std::int64_t ns);
  // Starts a new interval: no sample, and no previous delay to vary from.
  void clear();

  std::uint64_t count() const { return count_; }
  // The delay `share` (0 to 1) of the samples are at or below: the middle of its bucket.
  std::int64_t percentile(double share) const;
  DelaySummary summary() const;

  static std::size_t bucketOf(std::uint64_t ns);
  // The middle of bucket `index`.
  static std::int64_t middleOf(std::size_t index);

 private:
  std::vector<std::uint32_t> buckets_;
  std::uint64_t count_ = 0;
  std::int64_t min_ = 0;
  std::int64_t max_ = 0;
  // In floating point: an interval may take more delays than an integer sum of them holds.
  double sum_ = 0;
  double variationSum_ = 0;
  std::int64_t last_ = -1;  // the previous delay; -1 at the start of an interval
};

}  // namespace SoftAle
