// The scanner's rules for developers' own folders: stale project builds and old
// libraries (nvm Node versions, device support, rustup toolchains).
#include <algorithm>
#include <fstream>
#include <sys/stat.h>

#include "core/disk/disk_scanner.h"
#include "core/disk/scan_helpers.h"
#include "core/shell/tool_locator.h"
#include "core/support/text.h"

namespace kelvane::DiskScanner {
namespace {

using namespace ScanHelpers;

constexpr int kProjectDepth = 5;
constexpr size_t kMaxAliasBytes = 4096;

// The lower-cased names of the build folders a project's marker files imply.
std::set<std::string> buildNames(const std::string& project) {
  std::set<std::string> names;
  for (const auto& marker : kProjectMarkers) {
    if (!DiskPaths::exists(project + "/" + std::string(marker.file))) continue;
    for (const auto name : marker.builds)
      if (!name.empty()) names.insert(Text::lowercased(name));
  }
  return names;
}

// The projects under every root, in root order, each once.
std::vector<std::string> allProjects(const DiskEnvironment& env) {
  std::vector<std::string> all;
  std::set<std::string> seen;
  for (const auto& root : env.projectRoots)
    for (auto& project : projects(DiskPaths::expand(root, env.home), kProjectDepth))
      if (seen.insert(project).second) all.push_back(std::move(project));
  return all;
}

// One project's build folders that may go. Staleness and git membership are learned
// once, and only when a candidate folder is there.
void addBuilds(const std::string& project, const DiskEnvironment& env,
               const std::optional<std::string>& git, HardLinks& links,
               std::set<std::string>& taken, std::vector<DiskItem>& items) {
  const Date cutoff = env.now - kMonth;
  const auto names = buildNames(project);
  std::optional<bool> stale;
  std::optional<bool> repo;
  for (const auto& entry : entries(project)) {
    if (!names.contains(Text::lowercased(lastName(entry))) || !isDir(entry)) continue;
    if (!admitted(entry, project, env) || taken.contains(entry)) continue;
    if (!stale) {
      const auto newest = newestSource(project, cutoff);
      stale = newest && *newest < cutoff;
    }
    if (!*stale) return;
    if (!repo) repo = inGit(project);
    if (!removableBuild(entry, project, *repo, git, env.run)) continue;
    taken.insert(entry);
    DiskItem item = itemAt(entry, project, links);
    if (*repo) item.gitRepo = project;
    item.project = project;
    items.push_back(std::move(item));
  }
}

// The sub-folders of `dir`, by name.
std::vector<std::string> subFolders(const std::string& dir) {
  auto all = entries(dir);
  std::erase_if(all, [](const std::string& path) { return !isDir(path); });
  return all;
}

// The text of a small UTF-8 file; nullopt when it is missing, unreadable, too long
// or not UTF-8.
std::optional<std::string> smallText(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return std::nullopt;
  std::string text(kMaxAliasBytes + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  if (file.bad()) return std::nullopt;
  text.resize(static_cast<size_t>(file.gcount()));
  if (text.size() > kMaxAliasBytes || !Text::isValidUtf8(text)) return std::nullopt;
  return text;
}

void addNodeVersions(const DiskEnvironment& env, HardLinks& links, std::vector<DiskItem>& items) {
  const std::string root = env.home + "/.nvm/versions/node";
  std::vector<std::string> versions;
  for (const auto& path : subFolders(root)) versions.emplace_back(lastName(path));
  std::stable_sort(versions.begin(), versions.end(), [](const auto& a, const auto& b) {
    return ToolLocator::versionKey(a) < ToolLocator::versionKey(b);
  });
  const auto keep = nvmKeep(versions, smallText(env.home + "/.nvm/alias/default"));
  if (!keep) return;
  for (const auto& version : versions) {
    const std::string path = root + "/" + version;
    if (!keep->contains(version) && admitted(path, root, env))
      items.push_back(itemAt(path, root, links));
  }
}

void addDeviceSupport(const DiskEnvironment& env, HardLinks& links, std::vector<DiskItem>& items) {
  const std::string root = env.home + "/Library/Developer/Xcode/iOS DeviceSupport";
  std::vector<std::pair<Date, std::string>> dated;
  for (auto& path : subFolders(root))
    dated.emplace_back(modified(path).value_or(Date::distantPast()), std::move(path));
  std::stable_sort(dated.begin(), dated.end(),
                   [](const auto& a, const auto& b) { return a.first > b.first; });
  for (size_t i = 2; i < dated.size(); ++i)
    if (admitted(dated[i].second, root, env)) items.push_back(itemAt(dated[i].second, root, links));
}

// Whether a name read from rustup's output is an installed toolchain: a plain folder name
// whose folder exists. rustup prints messages such as "no installed toolchains" on the
// same channel, and their first word must not become an uninstall command.
bool installedToolchain(std::string_view name, const std::string& folder) {
  if (name.empty() || name == "." || name == ".." || name.find('/') != std::string_view::npos)
    return false;
  struct stat info {};
  return ::lstat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

void addToolchains(const DiskEnvironment& env, HardLinks& links, DiskRuleScan& scan) {
  const auto rustup = tool(env, "rustup");
  if (!rustup || !env.run) return;
  const auto listed = env.run({*rustup, "toolchain", "list"});
  if (!listed || listed->timedOut || listed->status != 0) return;
  size_t start = 0;
  while (start < listed->out.size()) {
    const size_t end = std::min(listed->out.find('\n', start), listed->out.size());
    const auto line = Text::trimmed(std::string_view(listed->out).substr(start, end - start));
    start = end + 1;
    if (line.empty() || line.find("default)") != std::string_view::npos ||
        line.find("override") != std::string_view::npos ||
        line.find("active") != std::string_view::npos)
      continue;
    const std::string name(line.substr(0, line.find(' ')));
    const std::string folder = env.home + "/.rustup/toolchains/" + name;
    if (!installedToolchain(name, folder) || DiskPaths::kept(folder, env.kept)) continue;
    scan.commands.push_back({*rustup, "toolchain", "uninstall", name});
    addBytes(scan.bytes, size(folder, links));
  }
}

}  // namespace

bool removableBuild(
    const std::string& dir, const std::string& project, bool inGit,
    const std::optional<std::string>& git,
    const std::function<std::optional<ShellResult>(const std::vector<std::string>&)>& run) {
  if (DiskPaths::exists(dir + "/.git")) return false;
  if (!inGit) return true;
  if (!git || !run) return false;
  const auto tracked = run({*git, "-c", "core.fsmonitor=false", "-C", project, "ls-files", "--",
                            ":(icase)" + std::string(lastName(dir))});
  return tracked && !tracked->timedOut && tracked->status == 0 && tracked->out.empty();
}

DiskRuleScan builds(const DiskEnvironment& env, HardLinks& links) {
  const auto git = tool(env, "git");
  std::set<std::string> taken;
  std::vector<DiskItem> items;
  for (const auto& project : allProjects(env)) addBuilds(project, env, git, links, taken, items);
  return withItems(std::move(items));
}

DiskRuleScan libraries(const DiskEnvironment& env, HardLinks& links) {
  std::vector<DiskItem> items;
  addNodeVersions(env, links, items);
  addDeviceSupport(env, links, items);
  DiskRuleScan scan = withItems(std::move(items));
  addToolchains(env, links, scan);
  return scan;
}

std::optional<std::set<std::string>> nvmKeep(const std::vector<std::string>& versions,
                                             const std::optional<std::string>& alias) {
  if (versions.empty()) return std::set<std::string>{};
  if (!alias) return std::nullopt;
  std::string_view wanted = Text::trimmed(*alias);
  if (wanted.empty()) return std::nullopt;
  const std::string& newest = versions.back();
  if (wanted == "node" || wanted == "stable") return std::set<std::string>{newest};
  if (wanted.starts_with('v')) wanted.remove_prefix(1);
  if (wanted.empty() || wanted.find_first_not_of("0123456789.") != std::string_view::npos)
    return std::nullopt;
  const std::string needle = "v" + std::string(wanted);
  for (auto it = versions.rbegin(); it != versions.rend(); ++it)
    if (*it == needle || it->starts_with(needle + ".")) return std::set<std::string>{*it, newest};
  return std::nullopt;
}

}  // namespace kelvane::DiskScanner
