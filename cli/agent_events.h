#pragma once
// AgentEvents: the words the agent uses for what the engine tells it: the lines
// a run leaves in the log, and the notifications for usage alerts, held runs
// and processes stopped while the user was away. Pure.
#include <string>
#include <utility>
#include <vector>

#include "cli/agent_log.h"
#include "core/engine/engine.h"
#include "core/store/records.h"
#include "core/usage/usage_watch.h"

namespace kelvane::AgentEvents {

struct LogLine {
  AgentLog::Level level = AgentLog::Level::info;
  std::string text;
  bool operator==(const LogLine&) const = default;
};

// A notification: its title and its one line of text.
struct Notice {
  std::string summary;
  std::string body;
  bool operator==(const Notice&) const = default;
};

// The lines one recorded run leaves: a summary with its mode and counts, then
// one line per action with its result (warnings for those that need the user).
std::vector<LogLine> runLines(const RunRecord& run);

// A tick's period: "1m", "30s", and "0.25s" below a second.
std::string period(double seconds);

// The notice for a run held back for the user's confirmation.
Notice held(const HeldRun& run);
// The notice for a usage alert; `cpuWindow` is the CPU averaging window in seconds.
Notice alert(const UsageAlert& alert, double cpuWindow);
// The notice for CPU hogs a scheduled run stopped; nullopt without a "done" one.
std::optional<Notice> backgroundStopped(const std::vector<ActionResult>& results);

}  // namespace kelvane::AgentEvents
