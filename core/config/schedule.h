#pragma once
// Schedule: when sweeps run. Slots lie on a fixed grid of minutes counted from
// local midnight; ScheduleState holds the user's cancellation and pause and the
// last weekly disk cleanup. Pure functions: the engine owns the state.
#include <cstdint>
#include <optional>

#include <nlohmann/json_fwd.hpp>

#include "core/config/run_mode.h"
#include "core/support/calendar.h"
#include "core/support/date.h"

namespace kelvane {

struct ScheduleState {
  std::optional<Date> cancelledRunAt;  // Only this exact slot is skipped.
  std::optional<Date> pausedUntil;     // The distant future: until the user resumes.
  std::optional<Date> lastWeeklyRun;   // When the weekly disk-cleanup rules last ran.
  bool operator==(const ScheduleState&) const = default;
};

// Writes the present fields only.
void to_json(nlohmann::json& j, const ScheduleState& state);
// Reads key by key and never throws: a missing, null or unreadable date reads
// as absent without disturbing the others; anything but an object reads empty.
void from_json(const nlohmann::json& j, ScheduleState& state);

namespace Schedule {

// Returns the first slot strictly after `after` on the grid of `everyMinutes`
// (raised to 1 when smaller) counted in elapsed time from the start of its
// local day. The grid restarts each midnight, so with a period that does not
// divide a day the last slot may lie past midnight. A moment that is not a
// finite number is returned unchanged.
Date next(Date after, int64_t everyMinutes, const Calendar& calendar);

// Returns the mode a slot will run in: paused while pausedUntil lies after it,
// cancelled when it is the cancelled slot, learning before learningUntil, else
// live. Never held: only the engine holds runs.
RunMode mode(Date slot, const ScheduleState& state, Date learningUntil);

// Tells whether the weekly rules are due at `at`: they are when `last` lies
// before the latest Sunday 03:00:00 local time at or before `at`. False
// without a last run or when no such Sunday is found.
bool weeklyDue(Date at, std::optional<Date> last, const Calendar& calendar);

}  // namespace Schedule

}  // namespace kelvane
