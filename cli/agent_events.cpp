#include "cli/agent_events.h"

#include <cmath>
#include <cstdio>

#include "core/config/format.h"
#include "core/config/usage_alerts.h"

namespace kelvane::AgentEvents {
namespace {

using Level = AgentLog::Level;

std::string plural(size_t n, const std::string& word) {
  return std::to_string(n) + " " + word + (n == 1 ? "" : "s");
}

std::string percent(double share) { return std::to_string(std::lround(share * 100)) + "%"; }

// "stopProcess devServer node · port 3000 (no requests for 45m)"
std::string described(const Action& action) {
  return std::string(rawValue(action.kind)) + " " + std::string(rawValue(action.rule)) + " " +
         action.target + " (" + action.reason + ")";
}

std::string counts(const std::vector<ActionResult>& results) {
  size_t done = 0, attention = 0, other = 0;
  for (const auto& r : results) r.done() ? ++done : r.needsAttention() ? ++attention : ++other;
  std::string text;
  const auto add = [&](size_t n, const char* what) {
    if (n) text += (text.empty() ? "" : ", ") + std::to_string(n) + " " + what;
  };
  add(done, "done");
  add(attention, "need you");
  add(other, "skipped");
  return text;
}

}  // namespace

std::vector<LogLine> runLines(const RunRecord& run) {
  std::vector<LogLine> lines;
  const size_t n = run.actions.size();
  switch (run.mode) {
    case RunMode::live:
      lines.push_back({n ? Level::notice : Level::info,
                       "live run: " + (n ? plural(n, "action") + " (" + counts(run.actions) + ")"
                                         : std::string("nothing to do"))});
      break;
    case RunMode::learning:
      lines.push_back({Level::info, "learning run: would run " + plural(n, "action")});
      break;
    case RunMode::held:
      lines.push_back({Level::warning, "held run: " + plural(n, "action") + " wait for you"});
      break;
    case RunMode::cancelled:
      lines.push_back({Level::info, "cancelled run: the slot was skipped as asked"});
      break;
    case RunMode::paused:
      lines.push_back({Level::info, "paused run"});
      break;
  }
  if (run.mode == RunMode::held) return lines;  // held() says what waits
  for (const auto& result : run.actions) {
    std::string text = result.result + ": " + described(result.action);
    if (result.note) text += "; " + *result.note;
    if (result.undo) text += "; undo: " + *result.undo;
    lines.push_back({result.needsAttention() ? Level::warning
                     : result.done()         ? Level::notice
                                             : Level::info,
                     std::move(text)});
  }
  return lines;
}

Notice held(const HeldRun& run) {
  return {"Kelvane held a sweep",
          "It " + run.reason + " (" + plural(run.actions.size(), "action") +
              "). Run \"kelvane held confirm\" to go ahead or \"kelvane held discard\"."};
}

Notice alert(const UsageAlert& a, double cpuWindow) {
  const std::string memory = Format::bytes(a.bytes) + " (" + percent(a.ofRAM) + " of memory)";
  switch (a.kind.which) {
    case UsageAlert::Kind::Case::pressure:
      return {a.kind.level >= 4 ? "Memory is critically short" : "Memory is getting short",
              a.name + " uses the most: " + memory};
    case UsageAlert::Kind::Case::cpu:
      return {a.name + " keeps the processor busy",
              UsageAlerts::coresLabel(std::round(a.cpu * 10) / 10) + " for " +
                  Format::duration(cpuWindow) + ", and " + memory};
    case UsageAlert::Kind::Case::memory:
      break;
  }
  return {a.name + " uses a lot of memory", memory + " for 10 minutes or more"};
}

std::optional<Notice> backgroundStopped(const std::vector<ActionResult>& results) {
  std::vector<std::string> names;
  for (const auto& r : results)
    if (r.done()) names.push_back(r.action.target);
  if (names.empty()) return std::nullopt;
  std::string list;
  for (const auto& name : names) list += (list.empty() ? "" : ", ") + name;
  return Notice{names.size() == 1
                    ? std::string("Kelvane stopped a busy process")
                    : "Kelvane stopped " + std::to_string(names.size()) + " busy processes",
                list + " kept the processor busy while you were away."};
}

std::string period(double seconds) {
  if (seconds >= 1 || !(seconds > 0)) return Format::duration(seconds);
  char text[16];
  std::snprintf(text, sizeof text, "%.2gs", seconds);
  return text;
}

}  // namespace kelvane::AgentEvents
