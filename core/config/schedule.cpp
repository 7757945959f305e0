#include "core/config/schedule.h"

#include <cmath>

#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

constexpr int kSunday = 1;
constexpr int kWeeklyHour = 3;

// A date that is absent, null or unreadable reads as absent.
std::optional<Date> lenientDate(const nlohmann::json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end()) return std::nullopt;
  return decodeJsonValue<Date>(*it);
}

}  // namespace

void to_json(nlohmann::json& j, const ScheduleState& state) {
  j = nlohmann::json::object();
  putOptional(j, "cancelledRunAt", state.cancelledRunAt);
  putOptional(j, "pausedUntil", state.pausedUntil);
  putOptional(j, "lastWeeklyRun", state.lastWeeklyRun);
}

void from_json(const nlohmann::json& j, ScheduleState& state) {
  state = ScheduleState();
  if (!j.is_object()) return;
  state.cancelledRunAt = lenientDate(j, "cancelledRunAt");
  state.pausedUntil = lenientDate(j, "pausedUntil");
  state.lastWeeklyRun = lenientDate(j, "lastWeeklyRun");
}

namespace Schedule {

Date next(Date after, int64_t everyMinutes, const Calendar& calendar) {
  if (!std::isfinite(after.timeIntervalSinceReferenceDate())) return after;
  const int64_t every = everyMinutes < 1 ? 1 : everyMinutes;
  const Date day = calendar.startOfDay(after);
  // Elapsed seconds, not wall-clock minutes: on a day with a daylight-saving
  // change the grid keeps its spacing and shifts against the clock face.
  const auto minutes = static_cast<int64_t>(std::trunc(after.since(day) / 60));
  const int64_t slot = minutes / every;
  return day + static_cast<double>(slot + 1) * static_cast<double>(every) * 60.0;
}

RunMode mode(Date slot, const ScheduleState& state, Date learningUntil) {
  if (state.pausedUntil && *state.pausedUntil > slot) return RunMode::paused;
  if (state.cancelledRunAt && *state.cancelledRunAt == slot) return RunMode::cancelled;
  if (slot < learningUntil) return RunMode::learning;
  return RunMode::live;
}

bool weeklyDue(Date at, std::optional<Date> last, const Calendar& calendar) {
  if (!last || !std::isfinite(last->timeIntervalSinceReferenceDate())) return false;
  const auto boundary = calendar.latestMatch(at, kSunday, kWeeklyHour, 0, 0);
  if (!boundary || *last >= *boundary) return false;
  if (!calendar.sameDay(*last, *boundary)) return true;
  // Early on the boundary's own Sunday, before the weekly hour.
  return calendar.hour(*last) < kWeeklyHour;
}

}  // namespace Schedule

}  // namespace kelvane
