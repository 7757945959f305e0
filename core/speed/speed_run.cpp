#include "core/speed/speed_run.h"

#include <algorithm>
#include <cmath>

namespace kelvane {

namespace SpeedTest {

double duration(bool automatic) { return automatic ? 4 : 10; }

double timeout(bool automatic) { return automatic ? 30 : 60; }

double median(std::vector<double> values) {
  // NaN has no place in an order; sorting with it would be undefined.
  std::erase_if(values, [](double v) { return std::isnan(v); });
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t mid = values.size() / 2;
  if (values.size() % 2 == 1) return values[mid];
  return (values[mid - 1] + values[mid]) / 2;
}

int64_t consumed(const Outcome& outcome) {
  if (const auto* ok = std::get_if<Ok>(&outcome)) return ok->result.bytes;
  return std::get<Failed>(outcome).bytes;
}

}  // namespace SpeedTest

namespace SpeedSampling {
namespace {

constexpr double kSlowStart = 1.5;  // Readings before this are TCP ramping up.
constexpr double kWindow = 0.5;     // Each rate spans at least this much time.

// The latest reading at least one window before `t`, else the start (0, 0).
SpeedSample windowStart(const std::vector<SpeedSample>& samples, double t) {
  for (auto it = samples.rbegin(); it != samples.rend(); ++it)
    if (it->t <= t - kWindow) return *it;
  return {};
}

}  // namespace

double typical(const std::vector<SpeedSample>& samples) {
  if (samples.empty()) return 0;
  const SpeedSample last = samples.back();
  if (!(last.t > 0)) return 0;
  std::vector<double> rates;
  bool anyLate = false;
  for (const auto& sample : samples) {
    if (!(sample.t >= kSlowStart)) continue;
    anyLate = true;
    const SpeedSample start = windowStart(samples, sample.t);
    const double rate = (static_cast<double>(sample.bytes) - static_cast<double>(start.bytes)) * 8 /
                        (sample.t - start.t);
    if (std::isfinite(rate)) rates.push_back(rate);
  }
  if (!anyLate) {
    const double average = static_cast<double>(last.bytes) * 8 / last.t;
    return std::isfinite(average) ? average : 0;
  }
  return SpeedTest::median(std::move(rates));
}

}  // namespace SpeedSampling
}  // namespace kelvane
