#include "cli/ports_command.h"

#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <pwd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "cli/command.h"
#include "cli/machine_snapshot.h"
#include "cli/support_folder.h"
#include "cli/text_table.h"
#include "core/config/config.h"
#include "core/config/format.h"
#include "core/planning/manual_planner.h"
#include "core/shell/tool_locator.h"
#include "core/store/store.h"
#include "core/support/uuid.h"
#include "platform/linux/net_ports.h"
#include "platform/linux/system_actions_linux.h"

namespace kelvane::cli {
namespace {

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return {};
}

bool exists(const std::string& path) {
  std::error_code ignored;
  return std::filesystem::exists(std::filesystem::symlink_status(path, ignored));
}

struct PortsOptions {
  std::string folder;
  std::string filter = "all";
  std::string search;
  bool json = false;
};

int runPorts(const PortsOptions& o) {
  const Store store = supportFolder(o.folder);
  const Date now = Date::now();
  const Config config = readConfig(store, now);
  // The agent keeps the activity record; without it ports show no idle times.
  const Activity activity = store.load<Activity>("activity.json").value_or(Activity{});
  const Snapshot snapshot = machineSnapshot();
  auto rows = machinePortRows(snapshot, activity, config.allowlist, homeFolder());
  const PortFilter filter = o.filter == "dev"       ? PortFilter::dev
                            : o.filter == "idle"    ? PortFilter::idle
                            : o.filter == "network" ? PortFilter::network
                                                    : PortFilter::all;
  std::erase_if(rows, [filter](const PortRow& row) { return !matches(filter, row); });
  rows = PortRows::search(rows, o.search);
  const Calendar calendar = Calendar::current();
  if (o.json)
    std::cout
        << portsJson(rows, calendar).dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
        << "\n";
  else
    printPorts(rows, calendar, std::cout);
  return 0;
}

// Stops what listens on `port` the way a pick is acted on at once: the same
// guards refuse, the stop checks the process's start time and user, and the
// outcome is recorded as a run.
int stopPort(const PortsOptions& o, uint16_t port) {
  const Store store = supportFolder(o.folder);
  const Date now = Date::now();
  const Config config = readConfig(store, now);
  const Snapshot snapshot = machineSnapshot();
  std::vector<Pick> picks;
  for (const auto& proc : snapshot.procs)
    if (std::find(proc.listenPorts.begin(), proc.listenPorts.end(), port) != proc.listenPorts.end())
      picks.push_back(Pick::process(proc.pid));
  if (picks.empty()) {
    const auto sockets = SockDiag::tcpSockets();
    for (const auto& other :
         sockets ? LinuxPorts::othersListening(snapshot, *sockets) : std::vector<NetProc>{})
      if (other.listening().contains(port)) {
        std::cerr << "kelvane ports: port " << port << " belongs to a " << shown(other.name)
                  << ", which is never stopped\n";
        return 1;
      }
    std::cerr << "kelvane ports: nothing listens on port " << port << "\n";
    return 1;
  }
  const auto picked = ManualPlanner::actions(picks, snapshot, config, std::nullopt, false);
  for (const auto& refused : picked.refused) {
    const int32_t pid = std::get<Pick::Process>(refused.pick.value()).pid;
    std::cerr << "kelvane ports: not stopping process " << pid << ": " << refused.reason << "\n";
  }
  if (picked.actions.empty()) return 1;
  LinuxSystemActions system(ProcessStopper(snapshot.me), LinuxActionLayers{});
  RunRecord record{.id = Uuid::random(), .at = now, .mode = RunMode::live};
  bool allDone = true;
  for (const auto& action : picked.actions) {
    const Outcome outcome =
        action.kind == ActionKind::quitApp ? system.quitApp(action) : system.stopProcess(action);
    record.actions.push_back({action, outcome.result, outcome.undo, outcome.note});
    allDone = allDone && outcome.result == "done";
    std::cout << "Port " << port << ", " << shown(action.target) << " (process " << action.pid
              << "): " << shown(outcome.result) << "\n";
  }
  if (auto saved = store.append(record); !saved)
    std::cerr << "kelvane ports: the run could not be recorded: " << saved.error().message << "\n";
  return allDone ? 0 : 1;
}

const CommandRegistration kPorts("ports", [](CLI::App& app, int& exitCode) {
  auto* command = app.add_subcommand("ports", "List the listening TCP ports and their owners");
  auto o = std::make_shared<PortsOptions>();
  command->add_option("--data", o->folder,
                      "Support folder (default: KELVANE_DATA or the home one)");
  command->add_option("--filter", o->filter, "all, dev (development servers), idle or network")
      ->check(CLI::IsMember({"all", "dev", "idle", "network"}));
  command->add_option("--search", o->search,
                      "Only rows whose port, name, path, project or folder hold this");
  command->add_flag("--json", o->json, "Print JSON");
  auto* stop = command->add_subcommand("stop", "Stop what listens on PORT, as a sweep would");
  auto port = std::make_shared<uint16_t>(0);
  stop->add_option("PORT", *port, "The listening port")->required()->check(CLI::Range(1, 65535));
  stop->add_option("--data", o->folder, "Support folder (default: KELVANE_DATA or the home one)");
  command->callback([o, stop, port, &exitCode] {
    exitCode = stop->parsed() ? stopPort(*o, *port) : runPorts(*o);
  });
});

}  // namespace

std::vector<PortRow> machinePortRows(const Snapshot& snapshot, const Activity& activity,
                                     const Allowlist& allowlist, const std::string& home) {
  const auto sockets = SockDiag::tcpSockets();
  const auto others =
      sockets ? LinuxPorts::othersListening(snapshot, *sockets) : std::vector<NetProc>{};
  const auto docker = LinuxPorts::docker(home, [&home](const std::vector<std::string>& args) {
    return Shell::run(args, ToolLocator::environment(args.front(), home), 3);
  });
  return PortRows::rows(snapshot, activity, allowlist, {.nextRunAt = snapshot.at},
                        {.listeners = others,
                         .projects = LinuxPorts::projects(snapshot, home, exists),
                         .docker = docker,
                         .home = home});
}

void printPorts(const std::vector<PortRow>& rows, const Calendar& calendar, std::ostream& out) {
  if (rows.empty()) {
    out << "No listening TCP ports.\n";
    return;
  }
  TextTable table({{"Port", TextTable::Align::right},
                   {"Process"},
                   {"PID", TextTable::Align::right},
                   {"Project"},
                   {"Folder"},
                   {"Reach"},
                   {"Conns", TextTable::Align::right},
                   {"Idle", TextTable::Align::right},
                   {"Status"}});
  size_t dev = 0, open = 0;
  for (const auto& row : rows) {
    dev += row.kind == PortRow::Kind::dev;
    open += row.exposed;
    table.add({std::to_string(row.port), row.name, row.pid > 0 ? std::to_string(row.pid) : "—",
               row.project.value_or("—"), row.folder.value_or("—"),
               row.exposed ? "network" : "this machine", std::to_string(row.connections),
               row.idle ? Format::duration(*row.idle) : "—",
               row.status([&calendar](Date at) { return clockTime(at, calendar); })});
  }
  table.print(out);
  out << "\n"
      << rows.size() << (rows.size() == 1 ? " port" : " ports") << ": " << dev
      << " held by development servers, " << open << " open to the network.\n";
}

nlohmann::json portsJson(const std::vector<PortRow>& rows, const Calendar& calendar) {
  auto out = nlohmann::json::array();
  for (const auto& row : rows) {
    nlohmann::json j{
        {"id", row.id()},
        {"port", row.port},
        {"pid", row.pid},
        {"name", row.name},
        {"path", row.path},
        {"exposed", row.exposed},
        {"connections", row.connections},
        {"kind", rawValue(row.kind)},
        {"status", row.status([&calendar](Date at) { return clockTime(at, calendar); })}};
    if (row.folder) j["folder"] = *row.folder;
    if (row.project) j["project"] = *row.project;
    if (row.idle) j["idle"] = *row.idle;
    if (row.stopsAt) j["stopsAt"] = *row.stopsAt;
    out.push_back(std::move(j));
  }
  return out;
}

}  // namespace kelvane::cli
