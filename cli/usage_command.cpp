#include "cli/usage_command.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <memory>
#include <thread>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "cli/command.h"
#include "cli/machine_snapshot.h"
#include "cli/support_folder.h"
#include "cli/text_table.h"
#include "core/config/format.h"

namespace kelvane::cli {
namespace {

std::string percent(double share) {
  char text[16];
  std::snprintf(text, sizeof text, "%.0f%%", std::isfinite(share) ? share * 100 : 0);
  return text;
}

void printApps(const std::vector<AppUsageRow>& apps, double span, std::ostream& out) {
  out << "Applications (CPU over the last " << Format::duration(span) << ")\n";
  if (apps.empty()) {
    out << "  none found: applications are programs with a window or a desktop entry\n";
    return;
  }
  TextTable table({{"Application"},
                   {"PID", TextTable::Align::right},
                   {"Processes", TextTable::Align::right},
                   {"CPU", TextTable::Align::right},
                   {"Memory", TextTable::Align::right}});
  for (const auto& app : apps)
    table.add({app.name, std::to_string(app.pid), std::to_string(app.processes),
               Usage::cpuText(app.cpu), Format::bytes(app.memory)});
  table.print(out, 2);
  out << "  CPU: 100% is one whole core.\n";
}

void printScreenTime(const std::optional<ScreenTime>& record, const Snapshot& now,
                     const Calendar& calendar, std::ostream& out) {
  out << "\nScreen time today\n";
  if (!record || !calendar.sameDay(record->day, now.at) || record->windows.empty()) {
    out << "  none noted (the agent notes which window has the focus while it runs)\n";
    return;
  }
  std::vector<std::pair<uint32_t, double>> windows(record->windows.begin(), record->windows.end());
  std::sort(windows.begin(), windows.end(),
            [](const auto& a, const auto& b) { return a.second > b.second; });
  double total = 0;
  TextTable table({{"Time", TextTable::Align::right}, {"Window"}});
  for (const auto& [id, seconds] : windows) {
    total += seconds;
    const auto open = std::find_if(now.windows.begin(), now.windows.end(),
                                   [id](const WindowInfo& w) { return w.id == id; });
    char closed[32];
    std::snprintf(closed, sizeof closed, "window 0x%08x (closed)", id);
    table.add({Format::duration(seconds),
               open == now.windows.end() ? closed : open->app + " — " + open->title});
  }
  table.print(out, 2);
  out << "  Total " << Format::duration(total) << "\n";
}

void printAlerts(const std::vector<AlertNote>& alerts, const Calendar& calendar,
                 std::ostream& out) {
  out << "\nAlerts today\n";
  if (alerts.empty()) out << "  none\n";
  for (const auto& note : alerts)
    out << "  " << clockTime(note.at, calendar) << "  " << shown(alertText(note.alert)) << "\n";
}

int runUsage(const std::string& folder, double span, bool json) {
  const Store store = supportFolder(folder);
  LinuxSampler sampler(machineSetup());
  const Snapshot before = sampler.sample();
  std::this_thread::sleep_for(std::chrono::duration<double>(span));
  const Snapshot now = sampler.sample();
  const auto apps = appUsage(before, now);
  const Calendar calendar = Calendar::current();
  const auto screenTime = store.load<ScreenTime>("screen-time.json");
  const auto alerts = alertsToday(store, now.at, calendar);
  if (!json) {
    printUsage(apps, now.at - before.at, screenTime, now, alerts, calendar, std::cout);
    return 0;
  }
  auto rows = nlohmann::json::array();
  for (const auto& a : apps) {
    nlohmann::json j{
        {"pid", a.pid}, {"name", a.name}, {"processes", a.processes}, {"memory", a.memory}};
    if (a.cpu) j["cpu"] = *a.cpu;
    rows.push_back(std::move(j));
  }
  nlohmann::json out{
      {"at", now.at}, {"span", now.at - before.at}, {"apps", rows}, {"alerts", alerts}};
  if (screenTime && calendar.sameDay(screenTime->day, now.at)) out["screenTime"] = *screenTime;
  std::cout << out.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
  return 0;
}

const CommandRegistration kUsage("usage", [](CLI::App& app, int& exitCode) {
  auto* command =
      app.add_subcommand("usage", "CPU and memory per application, today's screen time and alerts");
  auto folder = std::make_shared<std::string>();
  auto span = std::make_shared<double>(2.0);
  auto json = std::make_shared<bool>(false);
  command->add_option("--data", *folder, "Support folder (default: KELVANE_DATA or the home one)");
  command->add_option("--interval", *span, "Seconds over which CPU use is measured")
      ->check(CLI::Range(0.2, 60.0));
  command->add_flag("--json", *json, "Print JSON");
  command->callback([=, &exitCode] { exitCode = runUsage(*folder, *span, *json); });
});

}  // namespace

std::string alertText(const UsageAlert& a) {
  switch (a.kind.which) {
    case UsageAlert::Kind::Case::pressure:
      return "Memory pressure " + std::string(a.kind.level >= 4 ? "critical" : "high") + "; " +
             a.name + " holds the most memory (" + Format::bytes(a.bytes) + ", " +
             percent(a.ofRAM) + " of RAM)";
    case UsageAlert::Kind::Case::cpu:
      return a.name + " kept using " + Usage::cpuText(a.cpu) + " CPU (" + Format::bytes(a.bytes) +
             " memory)";
    case UsageAlert::Kind::Case::memory:
      break;
  }
  return a.name + " has held " + Format::bytes(a.bytes) + " (" + percent(a.ofRAM) +
         " of RAM) for over 10 minutes";
}

std::vector<AppUsageRow> appUsage(const Snapshot& before, const Snapshot& now) {
  const double span = now.at - before.at;
  // Two snapshots are enough history: keep a little more than the span.
  const Activity activity = Activity{}.updated(before, {}, span + 1).updated(now, {}, span + 1);
  std::vector<AppUsageRow> rows;
  for (const AppGroup& group : Usage::appGroups(now)) {
    AppUsageRow row{.pid = group.pid, .processes = group.pids.size(), .memory = group.memory};
    row.cpu = Usage::cores(group, activity, span, now.at);
    for (const auto& app : now.apps)
      if (app.pid == group.pid) row.name = app.name;
    rows.push_back(std::move(row));
  }
  std::stable_sort(rows.begin(), rows.end(), [](const AppUsageRow& a, const AppUsageRow& b) {
    if (a.cpu.value_or(-1) != b.cpu.value_or(-1)) return a.cpu.value_or(-1) > b.cpu.value_or(-1);
    return a.memory > b.memory;
  });
  return rows;
}

void printUsage(const std::vector<AppUsageRow>& apps, double span,
                const std::optional<ScreenTime>& screenTime, const Snapshot& now,
                const std::vector<AlertNote>& alerts, const Calendar& calendar, std::ostream& out) {
  printApps(apps, span, out);
  printScreenTime(screenTime, now, calendar, out);
  printAlerts(alerts, calendar, out);
}

}  // namespace kelvane::cli
