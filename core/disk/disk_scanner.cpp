#include "core/disk/disk_scanner.h"

#include <algorithm>
#include <dirent.h>

#include "core/disk/file_walk.h"
#include "core/disk/scan_helpers.h"
#include "core/support/text.h"

namespace kelvane::DiskScanner {
namespace {

using namespace ScanHelpers;

constexpr int64_t kSuggestionFloor = 500'000'000;
constexpr int64_t kSuggestionAlways = 1'000'000'000;
constexpr double kSuggestionUnused = 15'552'000;  // 180 days
constexpr size_t kMaxSuggestions = 50;

bool listable(const std::string& dir) {
  DIR* handle = ::opendir(dir.c_str());
  if (handle) ::closedir(handle);
  return handle != nullptr;
}

// The folder of the Trash's items: the host's, else the home's .Trash.
std::string trashFolder(const DiskEnvironment& env) {
  return env.trash.empty() ? env.home + "/.Trash" : env.trash;
}

bool holdsGit(const std::string& path) { return DiskPaths::exists(path + "/.git"); }

// Whether some process holds a file open inside `folder`.
bool inUse(const std::set<std::string>& openFiles, const std::string& folder) {
  const std::string prefix = folder + "/";
  const auto first = openFiles.lower_bound(prefix);
  return first != openFiles.end() && first->starts_with(prefix);
}

// Whether the cache folder of an application is to be left alone this time.
bool cacheInUse(const DiskEnvironment& env, const std::string& folder) {
  const std::string name(lastName(folder));
  if (name == "Homebrew" && tool(env, "brew")) return true;
  if (name == "pip" && (tool(env, "pip3") || tool(env, "pip"))) return true;  // package caches
  if (name.starts_with("com.apple.") || env.runningBundleIDs.contains(name)) return true;
  if (inUse(env.openFiles, folder)) return true;
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

DiskScan scan(const DiskEnvironment& env, const StepObserver& starting) {
  HardLinks links;
  DiskScan result{.at = env.now, .home = env.home};
  const auto step = [&](DiskRule rule, auto measure) {
    if (starting) starting(DiskRules::title(rule));
    result.rules[rule] = measure();
  };
  step(DiskRule::caches, [&] { return caches(env, links); });
  step(DiskRule::logs, [&] { return logs(env, links); });
  step(DiskRule::derivedData, [&] { return derivedData(env, links); });
  step(DiskRule::downloads, [&] {
    auto [found, access] = downloads(env, links);
    result.downloadsAccess = access;
    return found;
  });
  step(DiskRule::trash, [&] {
    auto [found, access] = trash(env, links);
    result.fullDiskAccess = access;
    return found;
  });
  step(DiskRule::builds, [&] { return builds(env, links); });
  step(DiskRule::libraries, [&] { return libraries(env, links); });
  step(DiskRule::packageCaches, [&] { return packageCaches(env, links); });
  step(DiskRule::docker, [&] { return docker(env); });
  step(DiskRule::simulators, [&] { return simulators(env); });
  if (starting) starting("Large items");
  result.suggestions = suggestions(env);
  return result;
}

DiskRuleScan caches(const DiskEnvironment& env, HardLinks& links) {
  const std::string root = env.home + "/Library/Caches";
  std::vector<DiskItem> items;
  for (const auto& folder : entries(root)) {
    if (!isDir(folder) || cacheInUse(env, folder)) continue;
    for (const auto& entry : entries(folder))
      if (admitted(entry, root, env)) items.push_back(itemAt(entry, root, links));
  }
  return withItems(std::move(items));
}

DiskRuleScan logs(const DiskEnvironment& env, HardLinks& links) {
  const std::string root = env.home + "/Library/Logs";
  const Date cutoff = env.now - kWeek;
  std::vector<std::string> old;
  if (isDir(root)) {
    FileWalk::walk(root, [&](const FileWalk::Item& item) {
      if (S_ISREG(item.info.st_mode) &&
          Date::fromUnix(FileWalk::unixSeconds(item.info.st_mtim)) < cutoff)
        old.push_back(item.path());
      return FileWalk::Next::descend;
    });
  }
  std::sort(old.begin(), old.end());
  std::vector<DiskItem> items;
  for (const auto& path : old)
    if (admitted(path, root, env)) items.push_back(itemAt(path, root, links));
  return withItems(std::move(items));
}

DiskRuleScan derivedData(const DiskEnvironment& env, HardLinks& links) {
  if (env.runningNames.contains("xcodebuild")) return DiskRuleScan{.note = "xcodebuild is running"};
  const std::string root = env.home + "/Library/Developer/Xcode/DerivedData";
  const Date cutoff = env.now - kWeek;
  std::vector<DiskItem> items;
  for (const auto& folder : entries(root)) {
    if (!isDir(folder) || !admitted(folder, root, env)) continue;
    std::optional<Date> newest = modified(folder);
    for (const auto& entry : entries(folder)) {
      const auto date = modified(entry);
      if (date && (!newest || *date > *newest)) newest = date;
    }
    if (newest.value_or(Date::distantFuture()) < cutoff)
      items.push_back(itemAt(folder, root, links));
  }
  return withItems(std::move(items));
}

std::vector<DiskItem> addedLongAgo(const std::string& dir, const DiskEnvironment& env,
                                   bool downloads, HardLinks& links) {
  const Date cutoff = env.now - kMonth;
  std::vector<DiskItem> items;
  for (const auto& entry : entries(dir)) {
    const auto added = env.added ? env.added(entry) : std::nullopt;
    if (!added || !(*added < cutoff) || !admitted(entry, dir, env)) continue;
    if (downloads) {
      if (lastName(entry).starts_with('.') || holdsGit(entry)) continue;
      if (!(lastTouched(entry, cutoff) < cutoff)) continue;
    }
    items.push_back(itemAt(entry, dir, links));
  }
  return items;
}

std::pair<DiskRuleScan, bool> downloads(const DiskEnvironment& env, HardLinks& links) {
  const std::string folder = env.home + "/Downloads";
  if (DiskPaths::exists(folder) && !listable(folder))
    return {DiskRuleScan{.note = "needs access to Downloads"}, false};
  return {withItems(addedLongAgo(folder, env, true, links)), true};
}

std::pair<DiskRuleScan, bool> trash(const DiskEnvironment& env, HardLinks& links) {
  const std::string folder = trashFolder(env);
  if (!DiskPaths::exists(folder)) return {DiskRuleScan{}, true};
  if (!listable(folder)) return {DiskRuleScan{.note = "needs Full Disk Access"}, false};
  return {withItems(addedLongAgo(folder, env, false, links)), true};
}

DiskRuleScan packageCaches(const DiskEnvironment& env, HardLinks& links) {
  DiskRuleScan scan;
  for (const auto& row : packageTools()) {
    std::optional<std::string> found;
    for (const auto& name : row.names)
      if ((found = tool(env, name))) break;
    const std::string cache = env.home + row.cache;
    if (!found || DiskPaths::kept(cache, env.kept)) continue;
    std::vector<std::string> command{*found};
    command.insert(command.end(), row.args.begin(), row.args.end());
    scan.commands.push_back(std::move(command));
    addBytes(scan.bytes, size(cache, links));
  }
  const std::string crates = env.home + "/.cargo/registry/cache";
  for (const auto& entry : entries(crates)) {
    if (!admitted(entry, crates, env)) continue;
    scan.items.push_back(itemAt(entry, crates, links));
    addBytes(scan.bytes, scan.items.back().bytes);
  }
  if (scan.commands.empty() && scan.items.empty()) scan.note = "no package tool found";
  return scan;
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
