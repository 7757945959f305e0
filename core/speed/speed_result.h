#pragma once
// SpeedResult: one finished speed test as recorded in speedtests.jsonl, and
// the level it is rated at.
#include <cstdint>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "core/support/date.h"

namespace kelvane {

enum class SpeedLevel { poor, fair, good, excellent };

// Returns the text shown for `level`: "Poor", "Fair", "Good", "Excellent".
std::string_view rawValue(SpeedLevel level);

// One progress reading of a transfer.
struct SpeedSample {
  double t = 0;       // Seconds since the transfer started.
  int64_t bytes = 0;  // Bytes transferred so far.
  bool operator==(const SpeedSample&) const = default;
};

struct SpeedResult {
  Date at;                   // When the test ran.
  double down = 0;           // Download throughput, bits per second.
  double up = 0;             // Upload throughput, bits per second.
  double latency = 0;        // On the idle line.
  double loadedLatency = 0;  // While the line was loaded.
  int64_t bytes = 0;         // Data the test consumed, counted against the budget.
  std::string interface;     // Network interface the test ran on.
  bool automatic = false;    // Stored as "auto": a scheduled test rather than the user's.
  bool operator==(const SpeedResult&) const = default;

  // Rates the download: 200 Mbit/s and up is excellent, 50 good, 10 fair,
  // anything less (NaN included) poor.
  SpeedLevel level() const;
};

// JSON coding with the field names as keys (`automatic` as "auto"); every key
// is required. from_json throws nlohmann::json::exception when one is missing
// or mistyped; Store::lines then skips the line.
void to_json(nlohmann::json& j, const SpeedResult& result);
void from_json(const nlohmann::json& j, SpeedResult& result);

}  // namespace kelvane
