#include "core/speed/speed_run.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(SpeedTestMedian, OddEvenAndEmpty) {
  EXPECT_EQ(SpeedTest::median({}), 0);
  EXPECT_EQ(SpeedTest::median({3, 1, 2}), 2);
  EXPECT_EQ(SpeedTest::median({3, 1, 2, 4}), 2.5);
  EXPECT_EQ(SpeedTest::median({5, std::nan(""), 1}), 3);  // NaN left out, not sorted
}

TEST(SpeedResultLevel, ExactBoundaries) {
  using L = SpeedLevel;
  const std::pair<double, L> cases[] = {
      {200e6, L::excellent}, {199'999'999, L::good}, {50e6, L::good},        {49'999'999, L::fair},
      {10e6, L::fair},       {9'999'999, L::poor},   {std::nan(""), L::poor}};
  for (const auto& [down, level] : cases) EXPECT_EQ(SpeedResult{.down = down}.level(), level);
  EXPECT_EQ(rawValue(SpeedLevel::excellent), "Excellent");
}

// Readings every half second of a steady 1,000,000 bytes per second (8 Mbit/s).
std::vector<SpeedSample> steady() {
  std::vector<SpeedSample> samples;
  for (double t = 0.5; t <= 4; t += 0.5) samples.push_back({t, static_cast<int64_t>(t * 1e6)});
  return samples;
}

TEST(SpeedSamplingTypical, IgnoresSlowStartAndABurst) {
  // A slow start: 3,000 bytes in the first 1.5 s, then the steady rate.
  std::vector<SpeedSample> slow{{0.5, 1'000}, {1.0, 2'000}};
  for (const auto& s : steady())
    if (s.t >= 1.5) slow.push_back({s.t, s.bytes - 1'497'000});
  EXPECT_DOUBLE_EQ(SpeedSampling::typical(slow), 8e6);  // the average would be ~5 Mbit/s
  // A burst: 3 MB extra arrive at once at 2.0 s, then the steady rate again.
  auto burst = steady();
  for (auto& s : burst) s.bytes += s.t >= 2.0 ? 3'000'000 : 0;
  EXPECT_DOUBLE_EQ(SpeedSampling::typical(burst), 8e6);  // the average would be 14 Mbit/s
  // Irregular readings: the windows of 1.6 s and 1.7 s both start at 1.0 s
  // (40,000 and 35,428.57 bit/s), that of 3.0 s at 1.7 s (8,000 bit/s).
  EXPECT_NEAR(SpeedSampling::typical({{1.0, 1'000}, {1.6, 4'000}, {1.7, 4'100}, {3.0, 5'400}}),
              35'428.571, 0.001);
}

TEST(SpeedSamplingTypical, EarlyOrHostileReadings) {
  // A test that stalled after 1 s: the overall average.
  EXPECT_DOUBLE_EQ(SpeedSampling::typical({{0.5, 100'000}, {1.0, 250'000}}), 2e6);
  EXPECT_EQ(SpeedSampling::typical({}), 0);
  EXPECT_EQ(SpeedSampling::typical({{2, 500}, {0, 900}}), 0);  // last reading at the start
  EXPECT_EQ(SpeedSampling::typical({{std::numeric_limits<double>::infinity(), 100}}), 0);
  EXPECT_EQ(SpeedSampling::typical({{std::nan(""), 100}}), 0);
}

}  // namespace
}  // namespace kelvane
