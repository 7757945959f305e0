#pragma once
// SpeedBudget: the data all speed tests consumed in the current calendar
// month, and when the last automatic test ran; stored as speedtest-budget.json.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

#include "core/support/calendar.h"
#include "core/support/date.h"

namespace kelvane {

struct SpeedBudget {
  // The budget's document in the support folder.
  static constexpr std::string_view file = "speedtest-budget.json";

  std::string month;             // "2025-03": the month `bytes` belongs to.
  int64_t bytes = 0;             // Consumed by tests in that month.
  std::optional<Date> lastAuto;  // When the last automatic test ran.
  bool operator==(const SpeedBudget&) const = default;

  // Returns the year and month of `date` in the calendar as "%04d-%02d".
  static std::string monthOf(Date date, const Calendar& calendar);
  // Returns the bytes used in the month of `date`: 0 when the record belongs
  // to another month (a new month starts from zero without a write).
  int64_t used(Date date, const Calendar& calendar) const;
  // Returns the budget after a test of `count` bytes at `date`: the count
  // restarts in a new month, a negative count adds nothing, the sum stops at
  // the largest 64-bit value, and only an automatic test moves `lastAuto`.
  [[nodiscard]] SpeedBudget adding(int64_t count, Date date, bool automatic,
                                   const Calendar& calendar) const;
};

// JSON coding with keys "month", "bytes" and the optional "lastAuto". from_json
// throws nlohmann::json::exception when month or bytes is missing or mistyped.
void to_json(nlohmann::json& j, const SpeedBudget& budget);
void from_json(const nlohmann::json& j, SpeedBudget& budget);

}  // namespace kelvane
