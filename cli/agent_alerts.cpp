#include "cli/agent_alerts.h"

#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"
#include "core/support/json_fields.h"

namespace kelvane::cli {
namespace {

std::string_view kindText(UsageAlert::Kind::Case kind) {
  switch (kind) {
    case UsageAlert::Kind::Case::pressure:
      return "pressure";
    case UsageAlert::Kind::Case::cpu:
      return "cpu";
    case UsageAlert::Kind::Case::memory:
      break;
  }
  return "memory";
}

}  // namespace

void to_json(nlohmann::json& j, const AlertNote& note) {
  const UsageAlert& a = note.alert;
  j = {{"at", note.at},    {"kind", kindText(a.kind.which)},
       {"app", a.app},     {"name", a.name},
       {"pid", a.pid},     {"cpu", a.cpu},
       {"bytes", a.bytes}, {"ofRAM", a.ofRAM}};
  if (a.kind.which == UsageAlert::Kind::Case::pressure) j["level"] = a.kind.level;
}

void from_json(const nlohmann::json& j, AlertNote& note) {
  note.at = Fields::required<Date>(j, "at");
  const auto kind = Fields::required<std::string>(j, "kind");
  if (kind == "pressure")
    note.alert.kind = UsageAlert::Kind::pressure(Fields::required<int64_t>(j, "level"));
  else if (kind == "cpu")
    note.alert.kind = UsageAlert::Kind::cpu();
  else if (kind == "memory")
    note.alert.kind = UsageAlert::Kind::memory();
  else
    throw nlohmann::json::type_error::create(302, "unknown alert kind " + kind, &j);
  note.alert.app = Fields::required<std::string>(j, "app");
  note.alert.name = Fields::required<std::string>(j, "name");
  note.alert.pid = Fields::required<int32_t>(j, "pid");
  note.alert.cpu = Fields::required<double>(j, "cpu");
  note.alert.bytes = Fields::required<uint64_t>(j, "bytes");
  note.alert.ofRAM = Fields::required<double>(j, "ofRAM");
}

StoreResult appendAlerts(const Store& store, const std::vector<UsageAlert>& alerts, Date at) {
  if (alerts.empty()) return {};
  std::vector<AlertNote> notes;
  for (const auto& alert : alerts) notes.push_back({at, alert});
  if (auto appended = store.appendLines(notes, kAlertsFile); !appended) return appended;
  return store.rewriteLines<AlertNote>(
      kAlertsFile, [at](const AlertNote& note) { return at - note.at < kAlertsKept; });
}

std::vector<AlertNote> alertsToday(const Store& store, Date now, const Calendar& calendar) {
  auto notes = store.lines<AlertNote>(kAlertsFile);
  std::erase_if(notes, [&](const AlertNote& n) { return !calendar.sameDay(n.at, now); });
  return notes;
}

}  // namespace kelvane::cli
