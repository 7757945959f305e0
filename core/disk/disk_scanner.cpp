#include "core/disk/disk_scanner.h"

#include <algorithm>
#include <dirent.h>

#include "core/disk/file_walk.h"
#include "core/disk/scan_helpers.h"
#include "core/disk_records/disk_paths.h"
#include "core/support/text.h"

namespace kelvane::DiskScanner {
namespace {

using namespace ScanHelpers;

constexpr int64_t kSuggestionFloor = 500'000'000;
constexpr int64_t kSuggestionAlways = 1'000'000'000;
constexpr double kSuggestionUnused = 15'552'000;  // 180 days
constexpr size_t kMaxSuggestions = 50;

// The entries of `dir`; a folder that is there but cannot be listed is noted.
std::vector<std::string> listed(const std::string& dir, RuleItems& items) {
  auto found = entries(dir);
  if (found.empty() && isDir(dir) && !listable(dir))
    items.leftOut().unlooked(FileWalk::Gaps{.unreadable = 1, .first = dir});
  return found;
}

// The folder of the Trash's items: the host's, else the home's .Trash.
std::string trashFolder(const DiskEnvironment& env) {
  return env.trash.empty() ? env.home + "/.Trash" : env.trash;
}

bool holdsGit(const std::string& path) { return DiskPaths::exists(path + "/.git"); }

// Whether the cache folder of an application is to be left alone this time.
bool cacheLeftAlone(const DiskEnvironment& env, const std::string& folder) {
  const std::string name(lastName(folder));
  if (name == "Homebrew" && tool(env, "brew")) return true;
  if (name == "pip" && (tool(env, "pip3") || tool(env, "pip"))) return true;  // package caches
  if (name.starts_with("com.apple.") || env.runningBundleIDs.contains(name)) return true;
  const auto changed = modified(folder);
  return changed && env.now.since(*changed) < kHour;
}

// The date after which a Downloads entry counts as touched: its own and, for a folder,
// that of anything inside.
Date lastTouched(const std::string& entry, Date cutoff) {
  const Date own = modified(entry).value_or(Date::distantFuture());
  if (!isDir(entry)) return own;
  return std::max(own, newestInside(entry, cutoff).value_or(Date::distantPast()));
}

// Whether a folder on a suggested path marks an application's or virtual machine's package.
bool insidePackage(std::string_view path) {
  size_t start = 0;
  for (size_t slash = path.find('/'); slash != std::string_view::npos;
       slash = path.find('/', start)) {
    const std::string name = Text::lowercased(path.substr(start, slash - start));
    for (const std::string_view suffix : {".app", ".photoslibrary", ".utm", ".pvm"})
      if (name.ends_with(suffix)) return true;
    start = slash + 1;
  }
  return false;
}

struct PackageTool {
  std::vector<std::string> names;  // The first one found is used.
  std::vector<std::string> args;
  std::string cache;  // Under the home folder.
};

const std::vector<PackageTool>& packageTools() {
  static const std::vector<PackageTool> tools = {
      {{"npm"}, {"cache", "clean", "--force"}, "/.npm/_cacache"},
      {{"pnpm"}, {"store", "prune"}, "/Library/pnpm/store"},
      {{"bun"}, {"pm", "cache", "rm"}, "/.bun/install/cache"},
      {{"pip3", "pip"}, {"cache", "purge"}, "/Library/Caches/pip"},
      {{"brew"}, {"cleanup", "-s"}, "/Library/Caches/Homebrew"},
  };
  return tools;
}

}  // namespace

DiskScan scan(const DiskEnvironment& env) { return scan(env, {}); }

DiskScan scan(const DiskEnvironment& env, const ProgressObserver& progress) {
  std::string_view current;
  Tally tally([&](uint64_t items, int64_t bytes) {
    if (progress) progress(ScanProgress{current, items, bytes});
  });
  DiskScan result{.at = env.now, .home = env.home};
  const auto begin = [&](std::string_view step) {
    current = step;
    if (progress) progress(ScanProgress{step, tally.items(), tally.bytes()});
  };
  const auto step = [&](DiskRule rule, auto measure) {
    begin(DiskRules::title(rule));
    result.rules[rule] = measure();
  };
  step(DiskRule::caches, [&] { return caches(env, tally); });
  step(DiskRule::logs, [&] { return logs(env, tally); });
  step(DiskRule::derivedData, [&] { return derivedData(env, tally); });
  step(DiskRule::downloads, [&] {
    auto [found, access] = downloads(env, tally);
    result.downloadsAccess = access;
    return found;
  });
  step(DiskRule::trash, [&] {
    auto [found, access] = trash(env, tally);
    result.fullDiskAccess = access;
    return found;
  });
  step(DiskRule::builds, [&] { return builds(env, tally); });
  step(DiskRule::libraries, [&] { return libraries(env, tally); });
  step(DiskRule::packageCaches, [&] { return packageCaches(env, tally); });
  step(DiskRule::docker, [&] { return docker(env); });
  step(DiskRule::simulators, [&] { return simulators(env); });
  begin("Large items");
  result.suggestions = suggestions(env);
  return result;
}

DiskRuleScan caches(const DiskEnvironment& env, Tally& tally) {
  const std::string root = env.home + "/Library/Caches";
  RuleItems items(env, tally);
  for (const auto& folder : listed(root, items)) {
    if (!isDir(folder) || cacheLeftAlone(env, folder) || !items.free(folder)) continue;
    for (const auto& entry : listed(folder, items)) items.offer(entry, root);
  }
  return std::move(items).scan();
}

DiskRuleScan logs(const DiskEnvironment& env, Tally& tally) {
  const std::string root = env.home + "/Library/Logs";
  const Date cutoff = env.now - kWeek;
  RuleItems items(env, tally);
  std::vector<std::string> old;
  if (isDir(root)) {
    const auto walked = FileWalk::walk(root, [&](const FileWalk::Item& item) {
      if (S_ISREG(item.info.st_mode) &&
          Date::fromUnix(FileWalk::unixSeconds(item.info.st_mtim)) < cutoff)
        old.push_back(item.path());
      return FileWalk::Next::descend;
    });
    items.leftOut().unlooked(walked.gaps);
    if (!walked.opened) items.leftOut().unlooked(FileWalk::Gaps{.unreadable = 1, .first = root});
  }
  std::sort(old.begin(), old.end());
  for (const auto& path : old) items.offer(path, root);
  return std::move(items).scan();
}

DiskRuleScan derivedData(const DiskEnvironment& env, Tally& tally) {
  if (env.runningNames.contains("xcodebuild")) return DiskRuleScan{.note = "xcodebuild is running"};
  const std::string root = env.home + "/Library/Developer/Xcode/DerivedData";
  const Date cutoff = env.now - kWeek;
  RuleItems items(env, tally);
  for (const auto& folder : listed(root, items)) {
    if (!isDir(folder) || !items.admitted(folder, root)) continue;
    std::optional<Date> newest = modified(folder);
    for (const auto& entry : entries(folder)) {  // an unreadable one is noted when measured
      const auto date = modified(entry);
      if (date && (!newest || *date > *newest)) newest = date;
    }
    if (newest.value_or(Date::distantFuture()) < cutoff) items.offer(folder, root);
  }
  return std::move(items).scan();
}

void addedLongAgo(const std::string& dir, const DiskEnvironment& env, bool downloads,
                  RuleItems& items) {
  const Date cutoff = env.now - kMonth;
  for (const auto& entry : listed(dir, items)) {
    const auto added = env.added ? env.added(entry) : std::nullopt;
    if (!added || !(*added < cutoff) || !items.admitted(entry, dir)) continue;
    if (downloads) {
      if (lastName(entry).starts_with('.') || holdsGit(entry)) continue;
      if (!(lastTouched(entry, cutoff) < cutoff)) continue;
    }
    items.offer(entry, dir);
  }
}

std::pair<DiskRuleScan, bool> downloads(const DiskEnvironment& env, Tally& tally) {
  const std::string folder = env.home + "/Downloads";
  if (DiskPaths::exists(folder) && !listable(folder))
    return {DiskRuleScan{.note = "needs access to Downloads"}, false};
  RuleItems items(env, tally);
  addedLongAgo(folder, env, true, items);
  return {std::move(items).scan(), true};
}

std::pair<DiskRuleScan, bool> trash(const DiskEnvironment& env, Tally& tally) {
  const std::string folder = trashFolder(env);
  if (!DiskPaths::exists(folder)) return {DiskRuleScan{}, true};
  if (!listable(folder)) return {DiskRuleScan{.note = "needs Full Disk Access"}, false};
  RuleItems items(env, tally);
  addedLongAgo(folder, env, false, items);
  return {std::move(items).scan(), true};
}

DiskRuleScan packageCaches(const DiskEnvironment& env, Tally& tally) {
  RuleItems items(env, tally);
  std::vector<std::vector<std::string>> commands;
  for (const auto& row : packageTools()) {
    std::optional<std::string> found;
    for (const auto& name : row.names)
      if ((found = tool(env, name))) break;
    const std::string cache = env.home + row.cache;
    if (!found || DiskPaths::kept(cache, env.kept)) continue;
    std::vector<std::string> command{*found};
    command.insert(command.end(), row.args.begin(), row.args.end());
    commands.push_back(std::move(command));
    // The tool cleans its own cache whatever this look could read of it.
    const Measured measured = measure(cache, tally);
    items.leftOut().unlooked(measured.gaps);
    items.addBytes(measured.bytes);
  }
  const std::string crates = env.home + "/.cargo/registry/cache";
  for (const auto& entry : listed(crates, items)) items.offer(entry, crates);
  const bool none = commands.empty() && items.empty();
  return std::move(items).scan(
      std::move(commands),
      none ? std::optional<std::string>("no package tool found") : std::nullopt);
}

DiskRuleScan docker(const DiskEnvironment& env) {
  const bool running = env.runningBundleIDs.contains("com.docker.docker") ||
                       env.runningNames.contains("com.docker.backend");
  const auto path = running ? tool(env, "docker") : std::nullopt;
  if (!path) return DiskRuleScan{.note = "Docker is not running"};
  return DiskRuleScan{.commands = {{*path, "image", "prune", "-f"}}};
}

DiskRuleScan simulators(const DiskEnvironment& env) {
  const auto path = tool(env, "xcrun");
  if (!path) return DiskRuleScan{.note = "Xcode is not installed"};
  return DiskRuleScan{.commands = {{*path, "simctl", "delete", "unavailable"}}};
}

std::vector<Suggestion> suggestions(const DiskEnvironment& env) {
  if (!env.spotlight) return {};
  const Date cutoff = env.now - kSuggestionUnused;
  std::vector<Suggestion> found;
  for (auto& candidate : env.spotlight(kSuggestionFloor)) {
    const bool big =
        candidate.bytes >= kSuggestionAlways ||
        (candidate.bytes >= kSuggestionFloor && candidate.lastUsed && *candidate.lastUsed < cutoff);
    if (!big || !candidate.path.starts_with(env.home + "/")) continue;
    if (candidate.path.starts_with(trashFolder(env) + "/") || insidePackage(candidate.path))
      continue;
    if (env.ignored.contains(candidate.path) || DiskPaths::kept(candidate.path, env.kept)) continue;
    found.push_back(std::move(candidate));
  }
  std::stable_sort(found.begin(), found.end(),
                   [](const Suggestion& a, const Suggestion& b) { return a.bytes > b.bytes; });
  if (found.size() > kMaxSuggestions) found.resize(kMaxSuggestions);
  return found;
}

}  // namespace kelvane::DiskScanner
