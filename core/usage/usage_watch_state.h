#pragma once
// UsageWatchState: what the usage alerts remember between evaluations (memory
// streaks, recent alerts, silenced keys, the last pressure level). Saved by
// the engine; read back leniently so that a damaged file never blocks alerts.
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "core/support/date.h"

namespace kelvane {

struct UsageWatchState {
  std::map<std::string, Date> highSince;   // Since when each app has been above the memory share.
  std::map<std::string, Date> lastAlert;   // When each key (an app or "pressure") last alerted.
  std::map<std::string, Date> quietUntil;  // Keys silenced until the given time.
  std::optional<Date> lastEvaluated;       // When the alerts were last evaluated.
  std::optional<int64_t> pressure;         // Memory-pressure level at the last evaluation.
  std::optional<int64_t> alertedLevel;     // Highest pressure level alerted within the hour.
  std::optional<int64_t> quietPressureLevel;  // Pressure silenced up to this level today.
  bool operator==(const UsageWatchState&) const = default;
};

// Writes every map and the present optionals, keys named like the fields.
void to_json(nlohmann::json& j, const UsageWatchState& state);
// Reads key by key and never throws: a missing or damaged key takes its
// initial value (empty, absent), a map entry that is not a date is skipped,
// and anything but an object reads as the initial state.
void from_json(const nlohmann::json& j, UsageWatchState& state);

}  // namespace kelvane
