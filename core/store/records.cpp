#include "core/store/records.h"

#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"
#include "core/support/json_fields.h"

namespace kelvane {

bool ActionResult::done() const { return result == "done"; }

bool ActionResult::needsAttention() const {
  return result.starts_with("needs you") || result.starts_with("failed");
}

bool ActionResult::notRun() const { return result == "skipped: stopped"; }

bool ActionResult::cutShort() const { return done() && note && note->starts_with("stopped"); }

bool ActionResult::pauseRanOut() const { return note && note->ends_with("pause ran out"); }

void to_json(nlohmann::json& j, const ActionResult& result) {
  j = {{"action", result.action}, {"result", result.result}};
  putOptional(j, "undo", result.undo);
  putOptional(j, "note", result.note);
}

void from_json(const nlohmann::json& j, ActionResult& result) {
  result.action = Fields::required<Action>(j, "action");
  result.result = Fields::required<std::string>(j, "result");
  result.undo = Fields::optional<std::string>(j, "undo");
  result.note = Fields::optional<std::string>(j, "note");
}

void to_json(nlohmann::json& j, const RunRecord& record) {
  j = {{"id", record.id}, {"at", record.at}, {"mode", record.mode}, {"actions", record.actions}};
}

void from_json(const nlohmann::json& j, RunRecord& record) {
  record.id = Fields::required<Uuid>(j, "id");
  record.at = Fields::required<Date>(j, "at");
  record.mode = Fields::required<RunMode>(j, "mode");
  record.actions = Fields::required<std::vector<ActionResult>>(j, "actions");
}

void to_json(nlohmann::json& j, const ClosedTab& tab) {
  j = {{"id", tab.id},
       {"at", tab.at},
       {"browser", tab.browser},
       {"url", tab.url},
       {"title", tab.title}};
  putOptional(j, "profile", tab.profile);
  putOptional(j, "group", tab.group);
}

void from_json(const nlohmann::json& j, ClosedTab& tab) {
  tab.id = Fields::required<Uuid>(j, "id");
  tab.at = Fields::required<Date>(j, "at");
  tab.browser = Fields::required<std::string>(j, "browser");
  tab.url = Fields::required<std::string>(j, "url");
  tab.title = Fields::required<std::string>(j, "title");
  tab.profile = Fields::optional<BrowserProfile>(j, "profile");
  tab.group = Fields::optional<Uuid>(j, "group");
}

}  // namespace kelvane
