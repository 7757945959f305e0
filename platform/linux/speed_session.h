#pragma once
// SpeedSession: one speed test as the user or the schedule starts it, with what
// goes around it in the support folder: the server list, the lock that keeps two
// tests from running at once, the results log, the month's data budget and the
// schedule's last decision.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/config/config.h"
#include "core/speed/speed_budget.h"
#include "core/speed/speed_run.h"
#include "core/speed/speed_schedule.h"
#include "core/speed/speed_server.h"
#include "core/store/store.h"
#include "core/support/calendar.h"
#include "platform/linux/speed_runner.h"

namespace kelvane {

// The schedule's latest decision, for the history view.
struct SpeedDecisionNote {
  Date at;
  std::string decision;  // "run", "wait", or "skipped: " and the reason.
  bool operator==(const SpeedDecisionNote&) const = default;
};
void to_json(nlohmann::json& j, const SpeedDecisionNote& note);
void from_json(const nlohmann::json& j, SpeedDecisionNote& note);

namespace SpeedSession {

// The server list in the support folder: a JSON array of {"host": ...}.
inline constexpr std::string_view kServersFile = "speed-servers.json";
// Held (flock) while a test runs, by the agent and the command alike.
inline constexpr std::string_view kLockFile = "speedtest.lock";
// The schedule's last decision.
inline constexpr std::string_view kDecisionFile = "speedtest-schedule.json";

// Returns the servers listed in the support folder: none when the file is
// missing; an error naming the file when it is not a list of hosts.
Result<std::vector<SpeedServer>, std::string> servers(const Store& store);

// Returns the monthly budget in bytes (decimal gigabytes of the setting).
int64_t budgetBytes(const Config& config);

// Returns the stored budget; a missing or unreadable file counts as nothing used.
SpeedBudget budget(const Store& store);

// What one session did.
struct Report {
  SpeedTest::Outcome outcome;
  SpeedBudget budget;                     // After the test's bytes were added.
  std::optional<std::string> storeError;  // The result or the budget could not be written.
};

// Runs one test while holding the lock, then appends a finished test to
// speedtests.jsonl and adds the data used (finished or failed) to the month's
// budget. Fails without running with "a test is running" when another test
// holds the lock, or with why the lock file cannot be taken.
[[nodiscard]] Result<Report, std::string> run(const Store& store,
                                              const std::vector<SpeedServer>& list, bool automatic,
                                              const std::function<Date()>& now,
                                              const Calendar& calendar,
                                              const SpeedRunLimits& limits,
                                              const SpeedRunner::Progress& progress = {});

// Tells whether a test holds the lock now.
bool running(const Store& store);

// Decides whether the schedule runs a test now, from the settings, the stored
// budget and last automatic test, the lock, and what the host observed.
SpeedSchedule::Decision decide(const Store& store, const Config& config, Date now,
                               const Calendar& calendar, bool online, bool locked);

// Tells whether this machine has a way out: an interface other than loopback that
// is up and running with an address.
bool online();

// Records and reads the schedule's last decision.
StoreResult noteDecision(const Store& store, Date at, const SpeedSchedule::Decision& decision);
[[nodiscard]] std::optional<SpeedDecisionNote> lastDecision(const Store& store);

// Returns the decision as text: "run", "wait", "skipped: monthly budget used".
std::string decisionText(const SpeedSchedule::Decision& decision);

}  // namespace SpeedSession
}  // namespace kelvane
