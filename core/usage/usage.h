#pragma once
// Usage: per-application memory and CPU figures for display and for the usage
// alerts. An application's figures cover its whole process group (its own
// process and the helpers inside its bundle).
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/model/activity.h"
#include "core/model/snapshot.h"
#include "core/support/date.h"

namespace kelvane {

// One application's figures for display.
struct AppUsage {
  std::optional<double> cpu;  // Cores in use (1 = one whole core); absent when unknown.
  uint64_t memory = 0;        // Bytes.
  bool operator==(const AppUsage&) const = default;
};

// One running application with its process group.
struct AppGroup {
  int32_t pid = 0;            // The application's process.
  std::vector<int32_t> pids;  // Its own process first, then its helpers.
  uint64_t memory = 0;        // Resident bytes of the whole group.
  bool operator==(const AppGroup&) const = default;
};

namespace Usage {

// Seconds of CPU history behind the CPU figure of `apps`.
inline constexpr double kDisplayWindow = 60;

// Returns one entry per running application whose process is in the snapshot,
// in the order of the snapshot's processes; empty when there are none.
std::vector<AppGroup> appGroups(const Snapshot& snapshot);
// Returns each application's group memory and its CPU use over the last 60
// seconds, keyed by the application's process ID; cpu is absent while the
// application's own process has no measurement over that span.
std::map<int32_t, AppUsage> apps(const Snapshot& snapshot, const Activity& activity);
// Returns the cores `group` used over the last `window` seconds: per member
// the measured CPU seconds, else the lower bound measured inside the window,
// else 0, summed and divided by the window. nullopt when the application's own
// process has no measurement or the window is not a positive number.
std::optional<double> cores(const AppGroup& group, const Activity& activity, double window,
                            Date now);
// Adds up usages: cpu is the sum of the known values (0 when none is known),
// memory the sum of memories (saturating instead of wrapping).
AppUsage sum(const std::vector<AppUsage>& usages);
// Returns "—" for an unknown (or non-finite) value, else the percentage
// rounded to a whole number: 0.256 gives "26%".
std::string cpuText(std::optional<double> cpu);

}  // namespace Usage

}  // namespace kelvane
