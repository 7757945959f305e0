#pragma once
// The usage alerts the agent raised, kept a week in "alerts.jsonl" in the
// support folder, one alert a line; `kelvane usage` shows today's.
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/store/store.h"
#include "core/support/calendar.h"
#include "core/usage/usage_watch.h"

namespace kelvane::cli {

// The alerts log in the support folder, one alert a line.
inline constexpr std::string_view kAlertsFile = "alerts.jsonl";
// Alerts older than this many seconds are dropped when one is appended.
inline constexpr double kAlertsKept = 7 * 86'400;

// One alert as the log keeps it.
struct AlertNote {
  Date at;
  UsageAlert alert;
  bool operator==(const AlertNote&) const = default;
};
// JSON: at, kind ("pressure", "cpu", "memory"), level (pressure only), app, name,
// pid, cpu, bytes, ofRAM. from_json throws on a missing key or an unknown kind.
void to_json(nlohmann::json& j, const AlertNote& note);
void from_json(const nlohmann::json& j, AlertNote& note);

// Appends `alerts`, raised at `at`, to the log and drops lines older than a week.
StoreResult appendAlerts(const Store& store, const std::vector<UsageAlert>& alerts, Date at);
// Returns the alerts of the local day of `now`, oldest first; unreadable lines are skipped.
std::vector<AlertNote> alertsToday(const Store& store, Date now, const Calendar& calendar);

}  // namespace kelvane::cli
