#pragma once
// The records the engine logs: the outcome of one action, one sweep run, and
// one browser tab a sweep closed (kept so that it can be reopened).
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/config/run_mode.h"
#include "core/model/browser_tab.h"
#include "core/actions/action.h"
#include "core/support/date.h"
#include "core/support/uuid.h"

namespace kelvane {

// The outcome of one planned action. `result` is "done", a text starting
// "needs you" or "failed", "skipped: " and a reason, "would run" or "held".
struct ActionResult {
  Action action;
  std::string result;
  std::optional<std::string> undo;  // How the user gets the thing back, when there is a way.
  std::optional<std::string> note;  // Extra detail shown beside the result.
  bool operator==(const ActionResult&) const = default;

  bool done() const;            // The result is exactly "done".
  bool needsAttention() const;  // It starts with "needs you" or "failed".
  bool notRun() const;          // It is exactly "skipped: stopped".
  bool cutShort() const;        // "done", with a note that starts with "stopped".
  bool pauseRanOut() const;     // The note ends with "pause ran out".
};

// One sweep as logged in runs.jsonl.
struct RunRecord {
  Uuid id;
  Date at;
  RunMode mode = RunMode::live;
  std::vector<ActionResult> actions;  // In the order acted.
  bool operator==(const RunRecord&) const = default;
};

// One browser tab a sweep closed, as logged in closed-tabs.jsonl.
struct ClosedTab {
  Uuid id;
  Date at;
  std::string browser;
  std::string url;
  std::string title;
  std::optional<BrowserProfile> profile;
  std::optional<Uuid> group;  // Shared by the tabs closed together.
  bool operator==(const ClosedTab&) const = default;
};

// JSON coding with the field names as keys; optional fields are omitted when
// absent. from_json throws when a required key is missing or mistyped.
void to_json(nlohmann::json& j, const ActionResult& result);
void from_json(const nlohmann::json& j, ActionResult& result);
void to_json(nlohmann::json& j, const RunRecord& record);
void from_json(const nlohmann::json& j, RunRecord& record);
void to_json(nlohmann::json& j, const ClosedTab& tab);
void from_json(const nlohmann::json& j, ClosedTab& tab);

}  // namespace kelvane
