#include "core/actions/action.h"

#include <nlohmann/json.hpp>

#include "core/support/hashing.h"
#include "core/support/json_coding.h"
#include "core/support/json_fields.h"

namespace kelvane {

std::string Action::id() const {
  std::string text = std::string(rawValue(rule)) + ":" + std::to_string(pid) + ":" +
                     std::to_string(windowID.value_or(0));
  if (tab) text += ":" + tab->key();
  // A whole browser window is told from the browser's other windows by its own window ID.
  if (kind == ActionKind::closeBrowserWindow && windowTabs && !windowTabs->empty())
    text += ":" + windowTabs->front().browser + ":" + std::to_string(windowTabs->front().windowID);
  if (disk) text += ":" + (disk->rule ? std::string(DiskRules::rawValue(*disk->rule)) : "picked");
  return text;
}

void to_json(nlohmann::json& j, const Action& action) {
  j = {{"rule", action.rule},     {"kind", action.kind},     {"pid", action.pid},
       {"target", action.target}, {"reason", action.reason}, {"memory", action.memory}};
  putOptional(j, "windowID", action.windowID);
  putOptional(j, "path", action.path);
  putOptional(j, "started", action.started);
  putOptional(j, "tty", action.tty);
  putOptional(j, "minIdle", action.minIdle);
  putOptional(j, "tab", action.tab);
  putOptional(j, "windowTabs", action.windowTabs);
  putOptional(j, "closeShown", action.closeShown);
  putOptional(j, "quitNow", action.quitNow);
  putOptional(j, "disk", action.disk);
}

void from_json(const nlohmann::json& j, Action& action) {
  action.rule = Fields::required<Rule>(j, "rule");
  action.kind = Fields::required<ActionKind>(j, "kind");
  action.pid = Fields::required<int32_t>(j, "pid");
  action.windowID = Fields::optional<uint32_t>(j, "windowID");
  action.target = Fields::required<std::string>(j, "target");
  action.reason = Fields::required<std::string>(j, "reason");
  action.memory = Fields::required<uint64_t>(j, "memory");
  action.path = Fields::optional<std::string>(j, "path");
  action.started = Fields::optional<Date>(j, "started");
  action.tty = Fields::optional<std::string>(j, "tty");
  action.minIdle = Fields::optional<double>(j, "minIdle");
  action.tab = Fields::optional<BrowserTab>(j, "tab");
  action.windowTabs = Fields::optional<std::vector<BrowserTab>>(j, "windowTabs");
  action.closeShown = Fields::optional<bool>(j, "closeShown");
  action.quitNow = Fields::optional<bool>(j, "quitNow");
  action.disk = Fields::optional<DiskJob>(j, "disk");
}

}  // namespace kelvane

size_t std::hash<kelvane::Action>::operator()(const kelvane::Action& a) const noexcept {
  return kelvane::hashValues(a.rule, a.kind, a.pid, a.windowID, a.target, a.reason, a.memory,
                             a.path, a.started, a.tty, a.minIdle, a.tab, a.windowTabs, a.closeShown,
                             a.quitNow, a.disk);
}
