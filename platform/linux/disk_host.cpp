#include "platform/linux/disk_host.h"

#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <unistd.h>

#include "core/disk/disk_files.h"
#include "core/disk_records/disk_paths.h"
#include "core/shell/shell.h"
#include "core/shell/tool_locator.h"
#include "core/support/text.h"
#include "platform/linux/freedesktop_trash.h"
#include "platform/linux/in_use.h"
#include "platform/linux/large_files.h"
#include "platform/linux/proc_table.h"
#include "platform/linux/xdg.h"

namespace kelvane::LinuxDiskHost {
namespace {

// Tool paths by name, looked up once per scan.
class ToolCache {
 public:
  explicit ToolCache(std::string home) : home_(std::move(home)) {
    if (const char* path = std::getenv("PATH")) path_ = path;
  }
  std::optional<std::string> find(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (const auto found = known_.find(name); found != known_.end()) return found->second;
    auto tool = ToolLocator::find(name, home_, path_, developerDir);
    known_.emplace(name, tool);
    return tool;
  }

 private:
  std::mutex mutex_;
  std::string home_;
  std::optional<std::string> path_;
  std::map<std::string, std::optional<std::string>> known_;
};

// Docker Engine has no application bundle here; its daemon running stands for it.
std::set<std::string> bundleIDsFor(const std::set<std::string>& names) {
  std::set<std::string> ids;
  if (names.contains("dockerd")) ids.insert("com.docker.docker");
  return ids;
}

std::vector<std::string> expanded(const std::vector<std::string>& entries,
                                  const std::string& home) {
  std::vector<std::string> paths;
  for (const auto& entry : entries) {
    auto path = DiskPaths::expand(Text::trimmed(entry), home);
    if (!path.empty()) paths.push_back(std::move(path));
  }
  return paths;
}

// When an item arrived in its folder. Items of the Trash came the day their
// description says they were deleted; an item without one (left by a client that
// died half-way) falls back to the file system's date like everything else.
std::function<std::optional<Date>(const std::string&)> addedDates(const std::string& trashFiles) {
  return [trashFiles, calendar = Calendar::current()](const std::string& path) {
    const size_t slash = path.rfind('/');
    if (slash == trashFiles.size() && path.compare(0, slash, trashFiles) == 0)
      if (const auto deleted = FreedesktopTrash::deletedAt(path, calendar)) return deleted;
    return DiskScanner::addedDate(path);
  };
}

}  // namespace

std::optional<std::string> developerDir() {
  struct stat info {};
  if (::stat("/usr/bin", &info) != 0 || !S_ISDIR(info.st_mode)) return std::nullopt;
  return "/usr";
}

DiskEnvironment environment(const std::string& home, const Config& config, Date now) {
  DiskEnvironment env{.home = home, .now = now};
  env.projectRoots = expanded(config.projectRoots, home);
  ProcTable::serveShell();
  env.runningNames = ProcTable::runningNames();
  env.runningBundleIDs = bundleIDsFor(env.runningNames);
  // One look at what running programs hold serves every rule; this program is left out,
  // as what it holds while scanning is its own doing.
  const auto held = std::make_shared<const InUse>(InUse::read(ProcReader(), ::getpid()));
  env.inUse = [held](const std::string& path) { return held->reason(path); };
  env.kept = DiskPaths::keptEntries(config.allowlist.paths, home);
  for (auto& path : expanded(config.ignoredFiles, home)) env.ignored.insert(std::move(path));
  auto tools = std::make_shared<ToolCache>(home);
  env.tool = [tools](const std::string& name) { return tools->find(name); };
  env.run = [home](const std::vector<std::string>& args) -> std::optional<ShellResult> {
    if (args.empty()) return std::nullopt;
    return Shell::run(args, ToolLocator::environment(args.front(), home), kToolTimeoutSeconds);
  };
  env.spotlight = [home](int64_t minBytes) { return LargeFiles::find(home, minBytes); };
  // The Trash here is the freedesktop one; ~/.Trash is never used.
  env.trash = Xdg::homeTrash(home) + "/files";
  env.added = addedDates(env.trash);
  return env;
}

}  // namespace kelvane::LinuxDiskHost
