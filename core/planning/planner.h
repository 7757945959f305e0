#pragma once
// Planner: lists what a sweep would do right now (idle applications to quit,
// idle windows, browser windows and tabs to close, idle terminal sessions,
// development servers and background processes, and CPU hogs to stop) from a
// snapshot, the activity record and the configuration. Pure: the same inputs
// always give the same list, in the same order. Disk cleanups are planned
// elsewhere.
#include <array>
#include <string_view>
#include <vector>

#include "core/config/config.h"
#include "core/model/activity.h"
#include "core/model/snapshot.h"
#include "core/actions/action.h"

namespace kelvane::Planner {

// The browsers whose windows and tabs the planner knows how to close.
inline constexpr std::array<std::string_view, 3> browsers{
    "com.google.Chrome", "com.google.Chrome.canary", "com.apple.Safari"};

// Returns the actions of a sweep, rule by rule: applications, windows, browser
// windows, tabs, terminal sessions, development servers, background processes,
// CPU hogs. Nothing is planned twice, nothing the guard protects is planned,
// and nothing is planned without a clock or CPU samples that show it idle.
// Limits are "at least". Where the snapshot lists a process ID twice, its
// first record counts; parent chains are followed for at most 64 steps, so a
// cycle or a missing parent ends the walk.
//
// A browser's windows and tabs are left alone while the browser is planned to
// quit, and only browsers listed in `config.browsers` have windows or tabs closed.
[[nodiscard]] std::vector<Action> plan(const Snapshot& snapshot, const Activity& activity,
                                       const Config& config);

}  // namespace kelvane::Planner
