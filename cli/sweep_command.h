#pragma once
// `kelvane sweep`: what the next run would do and why, and `kelvane sweep
// --now`; with the printers the other sweep commands share (runs, results,
// moments). Printers read the agent's replies (control_ops.h), so a command
// prints the same whether the agent answered or it looked by itself.
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/support/calendar.h"
#include "core/support/date.h"

namespace CLI {
class App;
}

namespace kelvane::cli {

// The options every sweep command takes: the support folder and --json.
struct SweepOptions {
  std::string folder;
  bool json = false;
};
// Adds --data and --json to `command`.
std::shared_ptr<SweepOptions> addSweepOptions(CLI::App* command);
// Sends `request` through the agent (or alone, see control_route.h) and
// prints the reply: as JSON with --json, else through `print`. The exit status.
int sendRequest(const SweepOptions& options, const std::string& name, const nlohmann::json& request,
                const std::function<void(const nlohmann::json&)>& print);

// A moment for people, in `calendar`'s zone: "14:30" on the day of `now`,
// "Tue 8 Dec 14:30" on another day of the year, "8 Dec 2027 14:30" in another
// year, "until you resume" for the distant future.
std::string whenText(Date at, Date now, const Calendar& calendar);

// The same after "until": "until 14:30", "until you resume".
std::string untilText(Date at, Date now, const Calendar& calendar);

// Text as it can be shown in one cell of a terminal: invalid UTF-8 replaced,
// control characters as "?", cut to `width` characters with "…".
std::string cell(std::string_view text, size_t width);

// Prints a state reply: who answered, the last look, the next run and its
// mode, the plan as a table (ID, rule, target, why, memory, mark), what is
// left alone and why, the held run, what needs the user, the disk cleanup.
void printSweep(const nlohmann::json& state, const Calendar& calendar, std::ostream& out);

// Prints runs (newest first) with each action's result, note and undo.
void printRuns(const nlohmann::json& runs, Date now, const Calendar& calendar, std::ostream& out);

// Prints action results, one line each with its note.
void printResults(const nlohmann::json& results, std::ostream& out);

}  // namespace kelvane::cli
