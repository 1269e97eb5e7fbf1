// An interval's delays: exact count, least, greatest, mean and variation; percentiles within
// their bucket's precision, at every scale a delay session meets.

#include "platform/ale/DelayStats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

using SoftAle::DelayStats;

// Every bucket's middle is within 0.2% of each value it takes (exact below 256 ns), from a
// nanosecond to 34 s, at and around each power of two.
TEST(DelayStats, EachValueIsWithinItsBucketsPrecision) {
  for (unsigned bit = 0; bit < DelayStats::maxOctave; ++bit) {
    for (const std::int64_t delta : {-1, 0, 1, 7}) {
      const std::int64_t v = std::max<std::int64_t>(0, (std::int64_t(1) << bit) + delta);
      const std::int64_t middle = DelayStats::middleOf(DelayStats::bucketOf(std::uint64_t(v)));
      EXPECT_LE(std::abs(middle - v), v < 256 ? 0 : v / 500 + 1) << v;
    }
  }
  EXPECT_EQ(DelayStats::bucketOf(std::uint64_t(1) << 40), DelayStats::bucketOf((std::uint64_t(1) << 35) - 1));
}

TEST(DelayStats, SummaryOfKnownSamples) {
  const auto ms = [](double v) { return std::int64_t(v * 1e6); };
  struct Row {
    std::vector<std::int64_t> samples;
    SoftAle::DelaySummary expected;  // p50 and p99: the true order statistics
  };
  std::vector<std::int64_t> rising, jitter;
  for (int i = 1; i <= 100; ++i) rising.push_back(ms(i));
  for (int i = 0; i < 1000; ++i) jitter.push_back(ms(10) + (i % 2 ? 30'000 : -30'000));
  const Row rows[] = {
      {rising, {100, ms(1), ms(100), ms(50.5), ms(50), ms(99), ms(1)}},
      {jitter, {1000, ms(10) - 30'000, ms(10) + 30'000, ms(10), ms(10) - 30'000, ms(10) + 30'000, 60'000}},
      {{5}, {1, 5, 5, 5, 5, 5, 0}},
      {{-20, 300}, {2, 0, 300, 150, 0, 300, 300}},  // a clock step back counts as no delay
      {{}, {}},
  };
  for (const Row& row : rows) {
    DelayStats stats;
    stats.add(12345), stats.clear();  // an interval gone leaves nothing behind
    for (const auto v : row.samples) stats.add(v);
    auto got = stats.summary();
    SCOPED_TRACE(::testing::PrintToString(row.samples.size()));
    for (auto [percentile, truth] : {std::pair{&got.p50, row.expected.p50}, {&got.p99, row.expected.p99}}) {
      EXPECT_LE(std::abs(*percentile - truth), truth / 500);
      *percentile = truth;
    }
    EXPECT_EQ(got, row.expected);
  }
}

}  // namespace
