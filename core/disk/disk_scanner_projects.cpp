// The scanner's rule for developers' own projects: stale build folders.
#include <algorithm>

#include "core/disk/disk_scanner.h"
#include "core/disk/scan_helpers.h"
#include "core/disk_records/disk_paths.h"
#include "core/support/text.h"

namespace kelvane::DiskScanner {
namespace {

using namespace ScanHelpers;

constexpr int kProjectDepth = 5;
constexpr size_t kMaxGitMessage = 160;

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

// The first line git wrote to its errors, cut short, as valid UTF-8.
std::string firstLine(const std::string& err) {
  const auto line = Text::trimmed(std::string_view(err).substr(0, err.find('\n')));
  std::string text = Text::validUtf8(line.substr(0, std::min(line.size(), kMaxGitMessage)));
  return text.empty() ? "no message" : text;
}

// One project's build folders that may go. Staleness and git membership are learned
// once, and only when a candidate folder is there.
void addBuilds(const std::string& project, const DiskEnvironment& env,
               const std::optional<std::string>& git, std::set<std::string>& taken,
               RuleItems& items) {
  const Date cutoff = env.now - kMonth;
  const auto names = buildNames(project);
  std::optional<bool> stale;
  std::optional<bool> repo;
  for (const auto& entry : entries(project)) {
    if (!names.contains(Text::lowercased(lastName(entry))) || !isDir(entry)) continue;
    if (!items.admitted(entry, project) || taken.contains(entry)) continue;
    if (!stale) {
      const auto newest = newestSource(project, cutoff);
      stale = newest && *newest < cutoff;
    }
    if (!*stale) return;
    if (!repo) repo = inGit(project);
    const BuildCheck check = removableBuild(entry, project, *repo, git, env.run);
    if (check.unknown) {
      // Measured apart, so that the files stay counted for whichever rule meets them next.
      Tally apart;
      items.leftOut().unjudged(project, *check.unknown, measure(entry, apart).bytes);
    }
    if (!check.removable) continue;
    taken.insert(entry);
    if (DiskItem* item = items.offer(entry, project)) {
      if (*repo) item->gitRepo = project;
      item->project = project;
    }
  }
}

}  // namespace

ProjectSearch projectsUnderRoots(const DiskEnvironment& env) {
  ProjectSearch all;
  std::set<std::string> seen;
  for (const auto& root : env.projectRoots) {
    auto search = projects(DiskPaths::expand(root, env.home), kProjectDepth);
    all.gaps.add(search.gaps);
    for (auto& project : search.found)
      if (seen.insert(project).second) all.found.push_back(std::move(project));
  }
  return all;
}

BuildCheck removableBuild(
    const std::string& dir, const std::string& project, bool inGit,
    const std::optional<std::string>& git,
    const std::function<std::optional<ShellResult>(const std::vector<std::string>&)>& run) {
  if (DiskPaths::exists(dir + "/.git")) return {};
  if (!inGit) return {.removable = true};
  if (!git || !run) return {.unknown = "git not found"};
  const auto tracked = run({*git, "-c", "core.fsmonitor=false", "-C", project, "ls-files", "--",
                            ":(icase)" + std::string(lastName(dir))});
  if (!tracked) return {.unknown = "git could not run"};
  if (tracked->timedOut) return {.unknown = "git timed out"};
  if (tracked->status != 0) return {.unknown = "git failed (" + firstLine(tracked->err) + ")"};
  return {.removable = tracked->out.empty()};
}

DiskRuleScan builds(const DiskEnvironment& env, Tally& tally) {
  const auto git = tool(env, "git");
  RuleItems items(env, tally);
  const auto search = projectsUnderRoots(env);
  items.leftOut().unlooked(search.gaps);
  std::set<std::string> taken;
  for (const auto& project : search.found) addBuilds(project, env, git, taken, items);
  return std::move(items).scan();
}

}  // namespace kelvane::DiskScanner
