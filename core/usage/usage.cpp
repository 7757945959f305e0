#include "core/usage/usage.h"

#include <cmath>
#include <cstdio>
#include <limits>

#include "core/proc/proc_groups.h"

namespace kelvane::Usage {
namespace {

uint64_t saturatingAdd(uint64_t a, uint64_t b) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  return b > kMax - a ? kMax : a + b;
}

}  // namespace

std::vector<AppGroup> appGroups(const Snapshot& snapshot) {
  std::vector<AppGroup> out;
  for (const auto& group : ProcGroups::fold(snapshot.procs, snapshot.apps))
    out.push_back({.pid = group.main.pid, .pids = group.pids(), .memory = group.rss()});
  return out;
}

std::map<int32_t, AppUsage> apps(const Snapshot& snapshot, const Activity& activity) {
  std::map<int32_t, AppUsage> out;
  for (const auto& group : appGroups(snapshot))
    out.emplace(group.pid, AppUsage{.cpu = cores(group, activity, kDisplayWindow, snapshot.at),
                                    .memory = group.memory});
  return out;
}

std::optional<double> cores(const AppGroup& group, const Activity& activity, double window,
                            Date now) {
  if (!std::isfinite(window) || window <= 0) return std::nullopt;
  if (!activity.cpuUsed(group.pid, window, now)) return std::nullopt;
  double seconds = 0;
  for (const int32_t pid : group.pids) {
    if (const auto used = activity.cpuUsed(pid, window, now))
      seconds += *used;
    else if (const auto atLeast = activity.cpuUsedAtLeast(pid, window, now))
      seconds += *atLeast;
  }
  return seconds / window;
}

AppUsage sum(const std::vector<AppUsage>& usages) {
  AppUsage total{.cpu = 0.0};
  for (const auto& usage : usages) {
    if (usage.cpu) *total.cpu += *usage.cpu;
    total.memory = saturatingAdd(total.memory, usage.memory);
  }
  return total;
}

std::string cpuText(std::optional<double> cpu) {
  const double percent = cpu ? *cpu * 100 : NAN;
  if (!std::isfinite(percent)) return "—";
  char buffer[400];  // "%.0f" of the largest double needs 309 digits.
  std::snprintf(buffer, sizeof buffer, "%.0f%%", percent);
  return buffer;
}

}  // namespace kelvane::Usage
