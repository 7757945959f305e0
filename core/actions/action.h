#pragma once
// Action: one planned deed of a sweep, with everything the executor, the run
// record and the user interface need; and its identity across plans.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/actions/rule.h"
#include "core/disk_records/disk_records.h"
#include "core/model/browser_tab.h"
#include "core/support/date.h"

namespace kelvane {

struct Action {
  Rule rule = Rule::window;
  ActionKind kind = ActionKind::closeWindow;
  int32_t pid = 0;                   // For tabs and browser windows: the browser's process.
  std::optional<uint32_t> windowID;  // System window of a closeWindow action.
  std::string target;                // What the user sees: a name, details joined by " · ".
  std::string reason;                // Why, in words.
  uint64_t memory = 0;               // Resident bytes of the process acted on.
  std::optional<std::string> path;   // Executable path of the process.
  std::optional<Date> started;       // Start time of the process.
  std::optional<std::string> tty;    // Terminal of a session action.
  std::optional<double> minIdle;     // The idle limit the action was planned under.
  std::optional<BrowserTab> tab;     // The tab of a closeTab action.
  std::optional<std::vector<BrowserTab>> windowTabs;  // Every tab of a closeBrowserWindow.
  std::optional<bool> closeShown;                     // Set by the manual planner.
  std::optional<bool> quitNow;                        // Set by the manual planner: act at once.
  std::optional<DiskJob> disk;                        // The job of a cleanDisk action.
  bool operator==(const Action&) const = default;

  // Returns the identity by which the action is recognised across plans: rule,
  // process and window (0 when none), then the tab's key, the browser and its
  // own window ID for a whole browser window, and the disk rule ("picked" for a
  // job without one) when present. Reasons, targets and sizes take no part, so
  // the same window on two ticks keeps its id.
  std::string id() const;
};

// JSON coding with the field names as keys; optional fields are omitted when
// absent. from_json throws when a required key is missing or mistyped, or a
// rule or kind text is unknown.
void to_json(nlohmann::json& j, const Action& action);
void from_json(const nlohmann::json& j, Action& action);

}  // namespace kelvane

template <>
struct std::hash<kelvane::Action> {
  size_t operator()(const kelvane::Action& action) const noexcept;
};
