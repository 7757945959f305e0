#pragma once
// `kelvane speed`: runs a speed test against the listed servers and keeps its
// result; `--history` shows the last day's results and this month's data use.
#include <optional>
#include <ostream>
#include <vector>

#include "core/speed/speed_budget.h"
#include "core/speed/speed_result.h"
#include "core/support/calendar.h"
#include "platform/linux/speed_session.h"

namespace kelvane::cli {

// Prints one result: download and upload in Mbit/s with the level, latencies in
// ms, the data used and the interface.
void printSpeedResult(const SpeedResult& result, std::ostream& out);

// Prints the results oldest first with local times, then the data used this
// month against the budget, when the last automatic test ran and the
// schedule's last decision.
void printSpeedHistory(const std::vector<SpeedResult>& results, const SpeedBudget& budget,
                       int64_t budgetBytes, bool automaticOn,
                       const std::optional<SpeedDecisionNote>& decision, Date now,
                       const Calendar& calendar, std::ostream& out);

}  // namespace kelvane::cli
