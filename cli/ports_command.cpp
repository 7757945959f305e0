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
#include "cli/text_table.h"
#include "core/config/config.h"
#include "core/config/format.h"
#include "core/shell/tool_locator.h"
#include "core/store/store.h"
#include "platform/linux/net_ports.h"

namespace kelvane::cli {
namespace {

std::string clockTime(Date at, const Calendar& calendar) {
  const LocalTime t = calendar.local(at);
  char text[8];
  std::snprintf(text, sizeof text, "%02d:%02d", t.hour, t.minute);
  return text;
}

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
  const Store store(o.folder.empty() ? Store::defaultDir() : std::filesystem::path(o.folder));
  const Date now = Date::now();
  const auto text = store.read("config.json");
  const Config config = (text ? Config::fromJSON(std::string_view(*text), now) : std::nullopt)
                            .value_or(Config::fresh(now));
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
  command->callback([o, &exitCode] { exitCode = runPorts(*o); });
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
  return PortRows::rows(snapshot, activity, allowlist, {}, {}, snapshot.at, others, {},
                        LinuxPorts::projects(snapshot, home, exists), docker, home);
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
      << " of development servers, " << open << " open to the network.\n";
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
