#include "cli/disk_command.h"

#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <memory>
#include <pwd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include "cli/command.h"
#include "core/config/format.h"
#include "core/disk/disk_files.h"
#include "core/disk/disk_planner.h"
#include "core/disk/disk_scanner.h"
#include "core/store/store.h"
#include "core/support/text.h"
#include "platform/linux/disk_host.h"

namespace kelvane::cli {
namespace {

constexpr size_t kPathsShown = 5;
constexpr int kTitleWidth = 24;

// A name as it can be shown on one line of a terminal.
std::string shown(std::string_view name) {
  std::string text = Text::validUtf8(name);
  for (char& c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return text;
}

std::string joined(const std::vector<std::string>& words) {
  std::string line;
  for (const auto& word : words) line += (line.empty() ? "" : " ") + shown(word);
  return line;
}

void printRules(const DiskScan& scan, std::ostream& out) {
  out << std::left << std::setw(kTitleWidth) << "Rule" << std::right << std::setw(7) << "Items"
      << std::setw(11) << "Size"
      << "  Note\n";
  for (const DiskRule rule : DiskRules::allCases) {
    const auto found = scan.rules.find(rule);
    if (found == scan.rules.end()) continue;
    const DiskRuleScan& r = found->second;
    out << std::left << std::setw(kTitleWidth) << DiskRules::title(rule) << std::right
        << std::setw(7) << r.items.size() << std::setw(11) << Format::fileBytes(r.bytes) << "  "
        << r.note.value_or("") << "\n";
  }
}

void printPlan(const std::vector<Action>& plan, std::ostream& out) {
  out << "\nWhat a sweep would clean (weekly rules included):\n";
  if (plan.empty()) out << "  nothing\n";
  for (const auto& action : plan) {
    out << "  " << action.target << ": " << action.reason << "\n";
    if (!action.disk) continue;
    const auto& items = action.disk->items;
    const char* verb = action.disk->trash ? "to the Trash: " : "remove: ";
    for (size_t i = 0; i < items.size() && i < kPathsShown; ++i)
      out << "    " << verb << shown(items[i].path) << "\n";
    if (items.size() > kPathsShown) out << "    … and " << items.size() - kPathsShown << " more\n";
    for (const auto& command : action.disk->commands) out << "    run: " << joined(command) << "\n";
  }
}

void printSuggestions(const std::vector<Suggestion>& suggestions, std::ostream& out) {
  out << "\nLarge items to review (never cleaned automatically):\n";
  if (suggestions.empty()) out << "  none\n";
  for (const auto& s : suggestions) {
    out << "  " << std::setw(9) << Format::fileBytes(s.bytes) << "  " << shown(s.path);
    if (s.lastUsed) out << "  (last used " << s.lastUsed->iso8601() << ")";
    out << "\n";
  }
}

std::string defaultHome() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* entry = ::getpwuid(::getuid()); entry && entry->pw_dir) return entry->pw_dir;
  return {};
}

// The user's settings as the sweep would read them: config.json in the support folder
// of `home` (or KELVANE_DATA), leniently; the defaults when there is none.
Config readConfig(const std::string& home, Date now) {
  std::map<std::string, std::string> environment{{"HOME", home}};
  if (const char* data = std::getenv("KELVANE_DATA")) environment.emplace("KELVANE_DATA", data);
  const auto text = Store(Store::dataDir(environment)).read("config.json");
  const auto config = text ? Config::fromJSON(std::string_view(*text), now) : std::nullopt;
  return config.value_or(Config::fresh(now));
}

// A progress line on the terminal, rewritten in place; nothing when stderr is not one.
DiskScanner::ProgressObserver progressLine() {
  if (!::isatty(STDERR_FILENO)) return {};
  return [](const DiskScanner::ScanProgress& progress) {
    std::cerr << "\r\033[KScanning: " << progress.step << "…" << std::flush;
  };
}

int runDisk(std::string home, bool json) {
  if (home.empty()) home = defaultHome();
  std::error_code error;
  if (!home.empty()) home = std::filesystem::absolute(home, error).lexically_normal().string();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home.empty() || !home.starts_with('/') || !DiskScanner::isDir(home)) {
    std::cerr << "kelvane disk: " << (home.empty() ? "no home folder" : "not a folder: " + home)
              << "\n";
    return 1;
  }
  const Date now = Date::now();
  const Config config = readConfig(home, now);
  const auto progress = progressLine();
  const DiskScan scan = DiskScanner::scan(LinuxDiskHost::environment(home, config, now), progress);
  if (progress) std::cerr << "\r\033[K" << std::flush;
  const auto plan = DiskPlanner::plan(scan, config, /*weeklyDue=*/true);
  if (json) {
    std::cout
        << diskReportJson(scan, plan).dump(2, ' ', false, nlohmann::json::error_handler_t::replace)
        << "\n";
  } else {
    printDiskReport(scan, plan, std::cout);
  }
  return 0;
}

const CommandRegistration kDisk("disk", [](CLI::App& app, int& exitCode) {
  auto* command = app.add_subcommand("disk", "Scan the home folder for clutter; deletes nothing");
  auto home = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  command->add_option("--home", *home, "Home folder to scan (default: HOME)");
  command->add_flag("--json", *json, "Print the scan and the plan as JSON");
  command->callback([home, json, &exitCode] { exitCode = runDisk(*home, *json); });
});

}  // namespace

void printDiskReport(const DiskScan& scan, const std::vector<Action>& plan, std::ostream& out) {
  out << "Disk scan of " << shown(scan.home) << " at " << scan.at.iso8601() << "\n\n";
  printRules(scan, out);
  if (!scan.downloadsAccess) out << "The Downloads folder could not be read.\n";
  if (!scan.fullDiskAccess) out << "The Trash could not be read.\n";
  printPlan(plan, out);
  printSuggestions(scan.suggestions, out);
  out << "\nNothing was deleted.\n";
}

nlohmann::json diskReportJson(const DiskScan& scan, const std::vector<Action>& plan) {
  return nlohmann::json{{"scan", scan}, {"plan", plan}};
}

}  // namespace kelvane::cli
