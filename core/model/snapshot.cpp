#include "core/model/snapshot.h"

#include <nlohmann/json.hpp>

#include "core/support/hashing.h"
#include "core/support/json_coding.h"
#include "core/support/json_fields.h"

namespace kelvane {

void to_json(nlohmann::json& j, const Snapshot& s) {
  j = {{"at", s.at},
       {"me", s.me},
       {"procs", s.procs},
       {"apps", s.apps},
       {"windows", s.windows},
       {"ttyIdle", s.ttyIdle},
       {"health", s.health},
       {"boot", s.boot},
       {"axTrusted", s.axTrusted},
       {"session", s.session},
       {"tabs", s.tabs},
       {"windowSpaces", Fields::keyed(s.windowSpaces)},
       {"automationDenied", s.automationDenied},
       {"browserWindowOf", Fields::keyed(s.browserWindowOf)}};
  putOptional(j, "frontPID", s.frontPID);
  putOptional(j, "focusedWindow", s.focusedWindow);
  putOptional(j, "spaces", s.spaces);
  putOptional(j, "trashReadable", s.trashReadable);
}

void from_json(const nlohmann::json& j, Snapshot& s) {
  using Fields::optional;
  using Fields::required;
  s.at = required<Date>(j, "at");
  s.me = required<uint32_t>(j, "me");
  s.frontPID = optional<int32_t>(j, "frontPID");
  s.focusedWindow = optional<uint32_t>(j, "focusedWindow");
  s.procs = required<std::vector<Proc>>(j, "procs");
  s.apps = required<std::vector<RunningApp>>(j, "apps");
  s.windows = required<std::vector<WindowInfo>>(j, "windows");
  s.ttyIdle = required<std::map<std::string, double>>(j, "ttyIdle");
  s.health = required<Health>(j, "health");
  s.boot = required<Date>(j, "boot");
  s.axTrusted = required<bool>(j, "axTrusted");
  s.session = required<int32_t>(j, "session");
  s.tabs = required<std::vector<BrowserTab>>(j, "tabs");
  s.spaces = optional<std::vector<SpaceInfo>>(j, "spaces");
  s.windowSpaces = required<std::map<uint32_t, std::vector<int64_t>>>(j, "windowSpaces");
  s.automationDenied = required<std::vector<std::string>>(j, "automationDenied");
  s.browserWindowOf = required<std::map<uint32_t, BrowserWindow>>(j, "browserWindowOf");
  s.trashReadable = optional<bool>(j, "trashReadable");
}

}  // namespace kelvane

size_t std::hash<kelvane::Snapshot>::operator()(const kelvane::Snapshot& s) const noexcept {
  return kelvane::hashValues(s.at, s.me, s.frontPID, s.focusedWindow, s.procs, s.apps, s.windows,
                             s.ttyIdle, s.health, s.boot, s.axTrusted, s.session, s.tabs, s.spaces,
                             s.windowSpaces, s.automationDenied, s.browserWindowOf,
                             s.trashReadable);
}
