#pragma once
// SpeedTest: what a test may take (durations, time limits, retention) and
// what it reports; SpeedSampling: the throughput figure of one transfer. The
// host performs the transfers; these are pure functions.
#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/speed/speed_result.h"

namespace kelvane::SpeedTest {

// The results log in the support folder.
inline constexpr std::string_view file = "speedtests.jsonl";
// Results older than this many seconds are not kept.
inline constexpr double keep = 86'400;

// Returns the transfer time per direction in seconds: 4 for a scheduled test,
// 10 for one the user started.
double duration(bool automatic);
// Returns the overall time limit in seconds: 30 scheduled, 60 manual.
double timeout(bool automatic);
// Returns the median: 0 for an empty list, the mean of the two middle values
// for an even count. NaN values are left out rather than sorted.
double median(std::vector<double> values);

// A test that finished.
struct Ok {
  SpeedResult result;
  bool operator==(const Ok&) const = default;
};
// A test that failed, with the data it consumed before failing (still counted
// against the budget).
struct Failed {
  std::string message;
  int64_t bytes = 0;
  bool operator==(const Failed&) const = default;
};
using Outcome = std::variant<Ok, Failed>;

// Returns the bytes an outcome consumed, whether it finished or failed.
int64_t consumed(const Outcome& outcome);

}  // namespace kelvane::SpeedTest

namespace kelvane::SpeedSampling {

// Returns the typical throughput in bits per second: the median of the rates
// over half-second windows ending at 1.5 s or later (slow start and single
// bursts do not move it); the overall average when no sample is that late;
// 0 with no samples, a last sample at t <= 0, or no finite rate.
double typical(const std::vector<SpeedSample>& samples);

}  // namespace kelvane::SpeedSampling
