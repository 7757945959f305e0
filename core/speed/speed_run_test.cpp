#include "core/speed/speed_run.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(SpeedTestMedian, OddEvenAndEmpty) {
  EXPECT_EQ(SpeedTest::median({}), 0);
  EXPECT_EQ(SpeedTest::median({7}), 7);
  EXPECT_EQ(SpeedTest::median({3, 1, 2}), 2);
  EXPECT_EQ(SpeedTest::median({3, 1, 2, 4}), 2.5);
  EXPECT_EQ(SpeedTest::median({5, std::nan(""), 1}), 3);  // NaN left out, not sorted
}

TEST(SpeedTestLimits, ScheduledTestsAreShorter) {
  EXPECT_EQ(SpeedTest::duration(true), 4);
  EXPECT_EQ(SpeedTest::duration(false), 10);
  EXPECT_EQ(SpeedTest::timeout(true), 30);
  EXPECT_EQ(SpeedTest::timeout(false), 60);
}

TEST(SpeedTestOutcome, FailedTestsStillCountTheirBytes) {
  EXPECT_EQ(SpeedTest::consumed(SpeedTest::Ok{SpeedResult{.bytes = 900}}), 900);
  EXPECT_EQ(SpeedTest::consumed(SpeedTest::Failed{"timed out", 120}), 120);
}

TEST(SpeedResultLevel, ExactBoundaries) {
  const struct {
    double down;
    SpeedLevel level;
  } cases[] = {
      {200'000'000, SpeedLevel::excellent},
      {199'999'999, SpeedLevel::good},
      {50'000'000, SpeedLevel::good},
      {49'999'999, SpeedLevel::fair},
      {10'000'000, SpeedLevel::fair},
      {9'999'999, SpeedLevel::poor},
      {0, SpeedLevel::poor},
      {std::nan(""), SpeedLevel::poor},
  };
  for (const auto& c : cases) EXPECT_EQ(SpeedResult{.down = c.down}.level(), c.level) << c.down;
  EXPECT_EQ(rawValue(SpeedLevel::excellent), "Excellent");
  EXPECT_EQ(rawValue(SpeedLevel::poor), "Poor");
}

// Readings every half second of a steady 1,000,000 bytes per second (8 Mbit/s).
std::vector<SpeedSample> steady(double until) {
  std::vector<SpeedSample> samples;
  for (double t = 0.5; t <= until; t += 0.5)
    samples.push_back({t, static_cast<int64_t>(t * 1'000'000)});
  return samples;
}

TEST(SpeedSamplingTypical, IgnoresSlowStartAndABurst) {
  // A slow start: 3,000 bytes in the first 1.5 s, then the steady rate.
  std::vector<SpeedSample> slow{{0.5, 1'000}, {1.0, 2'000}};
  for (const auto& s : steady(4))
    if (s.t >= 1.5) slow.push_back({s.t, 3'000 + s.bytes - 1'500'000});
  EXPECT_DOUBLE_EQ(SpeedSampling::typical(slow), 8'000'000);  // the average would be ~5 Mbit/s
  // A burst: 3 MB extra arrive at once at 2.0 s, then the steady rate again.
  auto burst = steady(4);
  for (auto& s : burst)
    if (s.t >= 2.0) s.bytes += 3'000'000;
  EXPECT_DOUBLE_EQ(SpeedSampling::typical(burst), 8'000'000);  // the average would be 14 Mbit/s
}

TEST(SpeedSamplingTypical, EarlyOnlySamplesGiveTheAverage) {
  // A test that stalled: nothing after 1 s.
  EXPECT_DOUBLE_EQ(SpeedSampling::typical({{0.5, 100'000}, {1.0, 250'000}}), 2'000'000);
  EXPECT_EQ(SpeedSampling::typical({}), 0);
  EXPECT_EQ(SpeedSampling::typical({{0, 500}}), 0);
  EXPECT_EQ(SpeedSampling::typical({{2, 500}, {-1, 900}}), 0);  // last reading not after start
}

TEST(SpeedSamplingTypical, WindowsSpanAtLeastHalfASecond) {
  // Irregular readings: the windows of 1.6 s and 1.7 s both start at 1.0 s
  // (40,000 and 35,428.57 bit/s), that of 3.0 s at 1.7 s (8,000 bit/s).
  const std::vector<SpeedSample> samples{{1.0, 1'000}, {1.6, 4'000}, {1.7, 4'100}, {3.0, 5'400}};
  EXPECT_NEAR(SpeedSampling::typical(samples), 35'428.571, 0.001);
  // Only one reading, late: its window starts at the very beginning.
  EXPECT_DOUBLE_EQ(SpeedSampling::typical({{2.0, 1'000}}), 4'000);
}

TEST(SpeedSamplingTypical, HostileReadingsGiveNoNonsense) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(SpeedSampling::typical({{inf, 100}}), 0);
  EXPECT_EQ(SpeedSampling::typical({{std::nan(""), 100}}), 0);
  const double huge = SpeedSampling::typical(
      {{2.0, std::numeric_limits<int64_t>::max()}, {3.0, std::numeric_limits<int64_t>::min()}});
  EXPECT_TRUE(std::isfinite(huge));
}

}  // namespace
}  // namespace kelvane
