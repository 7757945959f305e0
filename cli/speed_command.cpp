#include "cli/speed_command.h"

#include <cstdio>
#include <iostream>
#include <memory>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "cli/command.h"
#include "cli/support_folder.h"
#include "cli/text_table.h"
#include "core/config/format.h"
#include "core/speed/speed_store.h"

namespace kelvane::cli {
namespace {

struct SpeedOptions {
  std::string folder;
  std::vector<std::string> servers;
  bool history = false;
  bool json = false;
  bool quick = false;
};

int history(const Store& store, const SpeedOptions& o) {
  const Date now = Date::now();
  const Calendar calendar = Calendar::current();
  const Config config = readConfig(store, now);
  const auto results = speedResults(store, now);
  const auto budget = SpeedSession::budget(store);
  const auto decision = SpeedSession::lastDecision(store);
  if (o.json) {
    nlohmann::json j{{"results", results},
                     {"month", SpeedBudget::monthOf(now, calendar)},
                     {"used", budget.used(now, calendar)},
                     {"budget", SpeedSession::budgetBytes(config)},
                     {"auto", config.speedTestAuto}};
    if (budget.lastAuto) j["lastAuto"] = *budget.lastAuto;
    if (decision) j["lastDecision"] = *decision;
    std::cout << j.dump(2) << "\n";
    return 0;
  }
  printSpeedHistory(results, budget, SpeedSession::budgetBytes(config), config.speedTestAuto,
                    decision, now, calendar, std::cout);
  return 0;
}

int runTest(const Store& store, const SpeedOptions& o) {
  std::vector<SpeedServer> list;
  for (const auto& host : o.servers)
    if (!host.empty() && !host.starts_with(':')) list.push_back({host});
  if (o.servers.empty()) {
    auto listed = SpeedSession::servers(store);
    if (!listed) {
      std::cerr << "kelvane speed: " << listed.error() << "\n";
      return 2;
    }
    list = *listed;
  }
  if (list.empty()) {
    std::cerr << "kelvane speed: no speed server is listed. Put the servers in "
              << store.path(SpeedSession::kServersFile).string()
              << " as [{\"host\": \"speed.example.net:8080\"}] or name one with --server.\n";
    return 2;
  }
  const bool terminal = ::isatty(STDERR_FILENO) && !o.json;
  const auto progress = [terminal](std::string_view phase) {
    if (terminal) std::cerr << "\r\033[KMeasuring " << phase << "…" << std::flush;
  };
  const auto report = SpeedSession::run(
      store, list, /*automatic=*/false, [] { return Date::now(); }, Calendar::current(),
      SpeedRunLimits::of(/*automatic=*/o.quick), progress);
  if (terminal) std::cerr << "\r\033[K" << std::flush;
  if (!report) {
    std::cerr << "kelvane speed: " << report.error() << "\n";
    return 1;
  }
  if (report->storeError)
    std::cerr << "kelvane speed: the result could not be saved: " << *report->storeError << "\n";
  if (const auto* failed = std::get_if<SpeedTest::Failed>(&report->outcome)) {
    if (o.json)
      std::cout << nlohmann::json{{"failed", failed->message}, {"bytes", failed->bytes}}.dump(2)
                << "\n";
    std::cerr << "kelvane speed: " << failed->message << " (" << Format::fileBytes(failed->bytes)
              << " used)\n";
    return 1;
  }
  const SpeedResult& result = std::get<SpeedTest::Ok>(report->outcome).result;
  if (o.json)
    std::cout << nlohmann::json(result).dump(2) << "\n";
  else
    printSpeedResult(result, std::cout);
  return 0;
}

const CommandRegistration kSpeed("speed", [](CLI::App& app, int& exitCode) {
  auto* command =
      app.add_subcommand("speed", "Measure the connection's speed, or show past results");
  auto o = std::make_shared<SpeedOptions>();
  command->add_option("--data", o->folder,
                      "Support folder (default: KELVANE_DATA or the home one)");
  command->add_option("--server", o->servers,
                      "Server to test against (host[:port] or a URL); default: the listed ones");
  command->add_flag("--history", o->history, "Show the last day's results and this month's use");
  command->add_flag("--json", o->json, "Print JSON");
  command->add_flag("--quick", o->quick, "Run the schedule's shorter test (4 s each way)");
  command->callback([o, &exitCode] {
    const Store store = supportFolder(o->folder);
    exitCode = o->history ? history(store, *o) : runTest(store, *o);
  });
});

}  // namespace

void printSpeedResult(const SpeedResult& r, std::ostream& out) {
  out << "Download  " << Format::mbps(r.down) << " Mbit/s (" << rawValue(r.level()) << ")\n"
      << "Upload    " << Format::mbps(r.up) << " Mbit/s\n"
      << "Latency   " << Format::ms(r.latency) << " ms idle, " << Format::ms(r.loadedLatency)
      << " ms loaded\n"
      << "Data used " << Format::fileBytes(r.bytes)
      << (r.interface.empty() ? "" : " on " + shown(r.interface)) << "\n";
}

void printSpeedHistory(const std::vector<SpeedResult>& results, const SpeedBudget& budget,
                       int64_t budgetBytes, bool automaticOn,
                       const std::optional<SpeedDecisionNote>& decision, Date now,
                       const Calendar& calendar, std::ostream& out) {
  out << "Speed tests of the last 24 hours (times in " << calendar.zoneName() << ")\n\n";
  if (results.empty()) {
    out << "  none\n";
  } else {
    TextTable table({{"Time"},
                     {"Down Mbit/s", TextTable::Align::right},
                     {"Up Mbit/s", TextTable::Align::right},
                     {"Latency", TextTable::Align::right},
                     {"Loaded", TextTable::Align::right},
                     {"Data", TextTable::Align::right},
                     {"Level"},
                     {"Started by"}});
    for (const auto& r : results)
      table.add({localDateTime(r.at, calendar), Format::mbps(r.down), Format::mbps(r.up),
                 Format::ms(r.latency) + " ms", Format::ms(r.loadedLatency) + " ms",
                 Format::fileBytes(r.bytes), std::string(rawValue(r.level())),
                 r.automatic ? "schedule" : "you"});
    table.print(out, 2);
  }
  const int64_t used = budget.used(now, calendar);
  out << "\nData used by speed tests in " << SpeedBudget::monthOf(now, calendar) << ": "
      << Format::fileBytes(used) << " of " << Format::fileBytes(budgetBytes)
      << (used >= budgetBytes ? " (automatic tests wait for next month)" : "") << "\n";
  out << "Automatic tests: " << (automaticOn ? "on" : "off");
  if (budget.lastAuto) out << ", last at " << localDateTime(*budget.lastAuto, calendar);
  out << "\n";
  if (decision)
    out << "Schedule's last check: " << localDateTime(decision->at, calendar) << ", "
        << shown(decision->decision) << "\n";
}

}  // namespace kelvane::cli
