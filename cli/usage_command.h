#pragma once
// `kelvane usage`: CPU and memory per application, today's screen time per
// window, and the usage alerts raised today. The alerts log is written by the
// agent, which evaluates the alerts on every tick (appendAlerts).
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/model/snapshot.h"
#include "core/store/store.h"
#include "core/support/calendar.h"
#include "core/usage/screen_time.h"
#include "core/usage/usage.h"
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

// Returns the alert as a sentence: "Editor used 2.1 cores for a while (CPU)".
std::string alertText(const UsageAlert& alert);

// One application's row of the usage view.
struct AppUsageRow {
  int32_t pid = 0;
  std::string name;
  size_t processes = 0;       // Its own process and its helpers.
  std::optional<double> cpu;  // Cores over the measured span.
  uint64_t memory = 0;
  bool operator==(const AppUsageRow&) const = default;
};

// Returns the applications of `now` with their group memory and the cores they
// used between `before`'s snapshot time and `now`'s, busiest first (CPU, then memory).
std::vector<AppUsageRow> appUsage(const Snapshot& before, const Snapshot& now);

// Prints the applications, today's screen time (window titles where the window
// is still open) and today's alerts.
void printUsage(const std::vector<AppUsageRow>& apps, double span,
                const std::optional<ScreenTime>& screenTime, const Snapshot& now,
                const std::vector<AlertNote>& alerts, const Calendar& calendar, std::ostream& out);

}  // namespace kelvane::cli
