#include "core/usage/screen_time.h"

#include <algorithm>
#include <cmath>

#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"
#include "core/support/json_fields.h"

namespace kelvane {

ScreenTime ScreenTime::noted(const Observation& seen, const Calendar& calendar) const {
  if (!std::isfinite(seen.at.timeIntervalSinceReferenceDate())) return *this;
  const Date today = calendar.startOfDay(seen.at);
  const bool otherSession = session && seen.session && *session != *seen.session;
  ScreenTime next = *this;
  if (today != day || seen.boot != boot || otherSession) {
    next = ScreenTime{.day = today, .boot = seen.boot, .session = seen.session};
  } else if (!next.session) {
    next.session = seen.session;
  }
  if (seen.active && seen.window && next.last) {
    // Negative when the clock went back; a long pause credits at most 5 s.
    next.windows[*seen.window] += std::clamp(seen.at.since(*next.last), 0.0, kMaxCredit);
  }
  // Also when inactive, so that an idle stretch is never credited later.
  next.last = seen.at;
  return next;
}

double ScreenTime::seconds(uint32_t window) const {
  const auto it = windows.find(window);
  return it == windows.end() ? 0 : it->second;
}

void to_json(nlohmann::json& j, const ScreenTime& record) {
  j = {{"day", record.day}, {"windows", Fields::keyed(record.windows)}};
  putOptional(j, "boot", record.boot);
  putOptional(j, "session", record.session);
  putOptional(j, "last", record.last);
}

void from_json(const nlohmann::json& j, ScreenTime& record) {
  using Fields::optional;
  using Fields::required;
  record.day = required<Date>(j, "day");
  record.boot = optional<Date>(j, "boot");
  record.session = optional<int32_t>(j, "session");
  record.windows = required<std::map<uint32_t, double>>(j, "windows");
  record.last = optional<Date>(j, "last");
}

}  // namespace kelvane
