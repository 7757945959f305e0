#include "cli/disk_command.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iomanip>
#include <iostream>
#include <limits>
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
constexpr int kSizeWidth = 11;
// Progress on a terminal is redrawn at most this often.
constexpr auto kProgressEvery = std::chrono::milliseconds(100);

// What --help says beside the options.
constexpr const char* kHelpFooter = R"(What each rule looks at (weekly rules included):
  App caches              entries of ~/Library/Caches/<app> folders untouched for an hour,
                          unless the app runs or something in its folder is in use
  Logs and crash reports  files anywhere under ~/Library/Logs older than 7 days
  Xcode DerivedData       folders in ~/Library/Developer/Xcode/DerivedData untouched for
                          7 days; none while xcodebuild runs
  Package caches          the caches of npm, pnpm, bun, pip and Homebrew, cleaned by their
                          own tools ("npm cache clean --force", "pnpm store prune",
                          "bun pm cache rm", "pip3 cache purge", "brew cleanup -s"), and
                          cargo's downloaded crates in ~/.cargo/registry/cache
  Docker dangling images  "docker image prune -f", while Docker runs
  Old Downloads to Trash  entries of ~/Downloads added more than 30 days ago and untouched
                          since (hidden ones and git checkouts never)
  Old Trash               entries of ~/.Trash added more than 30 days ago
  Unavailable simulators  "xcrun simctl delete unavailable"
  Stale project builds    node_modules, .next, dist, build and target folders of projects
                          under the project roots whose sources are untouched for 30 days;
                          in a git repository only folders git tracks nothing in
  Stale libraries         nvm Node versions, rustup toolchains ("rustup toolchain
                          uninstall") and Xcode device support beyond the newest two;
                          kept are the default and newest versions and those projects
                          pin (.nvmrc, .node-version, rust-toolchain, rust-toolchain.toml)
  Large items             files of 1 GB or more, or of 500 MB unused for 180 days, for you
                          to review; never cleaned

Nothing is deleted, moved or changed: the scan only reads, and the only tool it runs is
"git ls-files" in projects that are git repositories. The commands above are shown as what
a cleanup would run. Items a running program holds (open files, sockets, working folders)
are left out. Settings (project roots, kept paths, rules switched off) are read from
config.json in the support folder of the home, or of KELVANE_DATA.)";

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

void addSaturating(int64_t& sum, int64_t value) {
  if (__builtin_add_overflow(sum, std::max<int64_t>(value, 0), &sum))
    sum = std::numeric_limits<int64_t>::max();
}

void printRow(std::ostream& out, std::string_view title, size_t items, int64_t bytes,
              std::string_view note) {
  out << std::left << std::setw(kTitleWidth) << title << std::right << std::setw(7) << items
      << std::setw(kSizeWidth) << Format::fileSize(bytes);
  if (!note.empty()) out << "  " << shown(note);
  out << "\n";
}

void printRules(const DiskScan& scan, std::ostream& out) {
  out << std::left << std::setw(kTitleWidth) << "Rule" << std::right << std::setw(7) << "Items"
      << std::setw(kSizeWidth) << "Size"
      << "  Note\n";
  size_t items = 0;
  int64_t bytes = 0;
  for (const DiskRule rule : DiskRules::allCases) {
    const auto found = scan.rules.find(rule);
    if (found == scan.rules.end()) continue;
    const DiskRuleScan& r = found->second;
    printRow(out, DiskRules::title(rule), r.items.size(), r.bytes, r.note.value_or(""));
    items += r.items.size();
    addSaturating(bytes, r.bytes);
  }
  printRow(out, "Total", items, bytes, "");
}

void printPlan(const std::vector<Action>& plan, std::ostream& out) {
  out << "\nWhat a sweep would clean (weekly rules included):\n";
  if (plan.empty()) out << "  nothing\n";
  for (const auto& action : plan) {
    if (!action.disk) continue;
    const DiskJob& job = *action.disk;
    out << "  " << action.target << ": "
        << DiskPlanner::summary(job.count, job.commands, job.bytes, Format::fileSize) << "\n";
    const char* verb = job.trash ? "to the Trash: " : "remove: ";
    for (size_t i = 0; i < job.items.size() && i < kPathsShown; ++i)
      out << "    " << verb << shown(job.items[i].path) << "\n";
    if (job.items.size() > kPathsShown)
      out << "    … and " << job.items.size() - kPathsShown << " more\n";
    for (const auto& command : job.commands) out << "    run: " << joined(command) << "\n";
  }
}

void printSuggestions(const std::vector<Suggestion>& suggestions, std::ostream& out) {
  out << "\nLarge items to review (never cleaned automatically):\n";
  if (suggestions.empty()) out << "  none\n";
  for (const auto& s : suggestions) {
    out << "  " << std::setw(kSizeWidth - 2) << Format::fileSize(s.bytes) << "  " << shown(s.path);
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

// A progress line on the terminal, rewritten in place at most every kProgressEvery and at
// each new step; nothing when stderr is not a terminal.
DiskScanner::ProgressObserver progressLine() {
  if (!::isatty(STDERR_FILENO)) return {};
  auto last = std::make_shared<std::pair<std::string, std::chrono::steady_clock::time_point>>();
  return [last](const DiskScanner::ScanProgress& progress) {
    const auto now = std::chrono::steady_clock::now();
    if (progress.step == last->first && now - last->second < kProgressEvery) return;
    *last = {std::string(progress.step), now};
    std::cerr << "\r\033[K" << progressText(progress) << std::flush;
  };
}

int runDisk(std::string home, bool json) {
  if (home.empty()) home = defaultHome();
  std::error_code error;
  if (!home.empty()) home = std::filesystem::absolute(home, error).lexically_normal().string();
  while (home.size() > 1 && home.back() == '/') home.pop_back();
  if (home.empty() || !home.starts_with('/') || !DiskScanner::isDir(home)) {
    std::cerr << "kelvane disk: "
              << (home.empty() ? "no home folder" : "not a folder: " + shown(home)) << "\n";
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
  auto* command = app.add_subcommand(
      "disk", "Scan the home folder for clutter and show what a cleanup would do; deletes nothing");
  command->footer(kHelpFooter);
  auto home = std::make_shared<std::string>();
  auto json = std::make_shared<bool>(false);
  command->add_option("--home", *home, "Home folder to scan (default: HOME)");
  command->add_flag("--json", *json,
                    "Print the scan and the plan as JSON. A path that is not valid UTF-8 is "
                    "shown with U+FFFD and named exactly beside it, percent-escaped "
                    "(\"path\" and \"pathEscaped\")");
  command->callback([home, json, &exitCode] { exitCode = runDisk(*home, *json); });
});

}  // namespace

std::string progressText(const DiskScanner::ScanProgress& progress) {
  return "Scanning " + std::string(progress.step) + "… " + std::to_string(progress.items) +
         (progress.items == 1 ? " item, " : " items, ") + Format::fileSize(progress.bytes);
}

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
