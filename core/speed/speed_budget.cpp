#include "core/speed/speed_budget.h"

#include <cstdio>
#include <limits>

#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"
#include "core/support/json_fields.h"

namespace kelvane {

std::string SpeedBudget::monthOf(Date date, const Calendar& calendar) {
  const YearMonth ym = calendar.yearMonth(date);
  char text[32];
  std::snprintf(text, sizeof text, "%04d-%02d", ym.year, ym.month);
  return text;
}

int64_t SpeedBudget::used(Date date, const Calendar& calendar) const {
  return month == monthOf(date, calendar) ? bytes : 0;
}

SpeedBudget SpeedBudget::adding(int64_t count, Date date, bool automatic,
                                const Calendar& calendar) const {
  SpeedBudget next;
  next.month = monthOf(date, calendar);
  const int64_t base = month == next.month ? bytes : 0;
  const int64_t added = count > 0 ? count : 0;
  // A count that would overflow stays at the top: the budget is used up either way.
  next.bytes = base > std::numeric_limits<int64_t>::max() - added
                   ? std::numeric_limits<int64_t>::max()
                   : base + added;
  next.lastAuto = automatic ? std::optional<Date>(date) : lastAuto;
  return next;
}

void to_json(nlohmann::json& j, const SpeedBudget& budget) {
  j = {{"month", budget.month}, {"bytes", budget.bytes}};
  putOptional(j, "lastAuto", budget.lastAuto);
}

void from_json(const nlohmann::json& j, SpeedBudget& budget) {
  budget.month = Fields::required<std::string>(j, "month");
  budget.bytes = Fields::required<int64_t>(j, "bytes");
  budget.lastAuto = Fields::optional<Date>(j, "lastAuto");
}

}  // namespace kelvane
