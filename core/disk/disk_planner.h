#pragma once
// DiskPlanner: turns the last disk scan into at most one cleanup action per
// rule, under the user's current settings (rules switched off, kept paths,
// project roots), which may have changed since the scan. Pure.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/actions/action.h"
#include "core/config/config.h"
#include "core/disk_records/disk_records.h"

namespace kelvane::DiskPlanner {

// One action per rule that is on and has something to do, in rule order;
// weekly rules only when `weeklyDue`. No scan gives no actions.
std::vector<Action> plan(const std::optional<DiskScan>& scan, const Config& config, bool weeklyDue);

// The cleanup action for one rule: the scan's items minus kept paths (and, for
// build folders, minus those outside today's project roots), with its reason
// text ("3 items · npm · 1.2 GB"). nullopt when nothing is left to do.
std::optional<Action> action(DiskRule rule, const DiskScan& scan, const Config& config);

// Returns the text of a cleanup: "1 item" or "N items" (none for no item), the tools the
// commands run, each named once, and the size rendered by `size` when it is 1 or more,
// joined with " · ". Empty when there is nothing of these.
std::string summary(int64_t count, const std::vector<std::vector<std::string>>& commands,
                    int64_t bytes, std::string (*size)(int64_t));

}  // namespace kelvane::DiskPlanner
