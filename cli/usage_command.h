#pragma once
// `kelvane usage`: CPU and memory per application, today's screen time per
// window, and the usage alerts raised today, from the log the agent writes.
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "cli/agent_alerts.h"
#include "core/model/snapshot.h"
#include "core/store/store.h"
#include "core/support/calendar.h"
#include "core/usage/screen_time.h"
#include "core/usage/usage.h"
#include "core/usage/usage_watch.h"

namespace kelvane::cli {

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
