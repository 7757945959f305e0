#pragma once
// UsageWatch: decides on each tick whether to tell the user that the machine
// is under memory pressure or that an application has held a large share of
// memory or a lot of CPU for too long. Pure functions over the snapshot, the
// activity record, the settings and the previous state; the engine keeps the
// state. One application alerts at most once an hour, whatever the reason.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/config/config.h"
#include "core/model/activity.h"
#include "core/model/running_app.h"
#include "core/model/snapshot.h"
#include "core/support/calendar.h"
#include "core/support/date.h"
#include "core/usage/usage_watch_state.h"

namespace kelvane {

// One alert for the user about one application (named too by a pressure alert).
struct UsageAlert {
  // What triggered an alert; level is the pressure level for pressure alerts
  // and 0 for the others.
  struct Kind {
    enum class Case { pressure, cpu, memory };
    Case which = Case::memory;
    int64_t level = 0;
    bool operator==(const Kind&) const = default;

    // Builds each of the three kinds.
    static Kind pressure(int64_t level) { return {Case::pressure, level}; }
    static Kind cpu() { return {Case::cpu, 0}; }
    static Kind memory() { return {Case::memory, 0}; }
  };

  Kind kind;
  std::string app;     // The application's key (UsageWatch::appKey).
  std::string name;    // The application's display name.
  int32_t pid = 0;     // The application's process.
  double cpu = 0;      // Cores used over the CPU window; 0 when unknown.
  uint64_t bytes = 0;  // Memory of the application's process group.
  double ofRAM = 0;    // bytes as a share of physical memory.
  bool operator==(const UsageAlert&) const = default;
};

// The alerts to show now and the state to keep.
struct UsageEvaluation {
  std::vector<UsageAlert> alerts;  // Pressure first, then memory, then CPU.
  UsageWatchState state;
  bool operator==(const UsageEvaluation&) const = default;
};

namespace UsageWatch {

inline constexpr double memoryShare = 0.25;  // Of physical memory, for a memory alert.
inline constexpr double memoryWindow = 600;  // Seconds an app must stay above the share.
inline constexpr std::string_view pressureKey = "pressure";
inline constexpr double kCooldown = 3600;  // Seconds between two alerts of one key.
inline constexpr double kMaxGap = 300;     // A longer gap between evaluations breaks streaks.

// Returns the key alerts use for `app`: its bundle identifier, or its name
// when it has none (or an empty one).
std::string appKey(const RunningApp& app);

// Evaluates the alerts at the snapshot's time. With alerts off or an unknown
// physical memory size there are no alerts and no memory streaks, but the
// pressure level and evaluation time are still recorded; a snapshot time that
// is not finite changes nothing. `calendar` is unused: silences carry their end.
UsageEvaluation evaluate(const Snapshot& snapshot, const Activity& activity, const Config& config,
                         const UsageWatchState& state, const Calendar& calendar);

// Returns `state` with `key` silenced until the next local midnight after
// `now`; silencing "pressure" also silences levels up to the current one (at
// least 2). A moment that is not a finite number changes nothing.
UsageWatchState quietForToday(std::string_view key, const UsageWatchState& state, Date now,
                              const Calendar& calendar);

}  // namespace UsageWatch

}  // namespace kelvane
