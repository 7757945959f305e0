#include "core/disk/disk_planner.h"

#include <algorithm>
#include <limits>

#include "core/config/format.h"
#include "core/disk_records/disk_paths.h"
#include "core/support/text.h"

namespace kelvane::DiskPlanner {
namespace {

// Project roots with "~" expanded; build folders must lie inside one of them.
std::vector<std::string> projectRoots(const Config& config, const std::string& home) {
  std::vector<std::string> roots;
  for (const auto& entry : config.projectRoots)
    roots.push_back(DiskPaths::expand(Text::trimmed(entry), home));
  return roots;
}

bool underARoot(const std::string& path, const std::vector<std::string>& roots) {
  return std::any_of(roots.begin(), roots.end(), [&](const std::string& root) {
    return path == root || path.starts_with(root + "/");
  });
}

std::string lastComponent(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string summary(int64_t count, const std::vector<std::vector<std::string>>& commands,
                    int64_t bytes, std::string (*size)(int64_t)) {
  std::vector<std::string> parts;
  if (count == 1) parts.push_back("1 item");
  if (count > 1) parts.push_back(std::to_string(count) + " items");
  // One uninstall per toolchain runs rustup several times; it is named once.
  std::vector<std::string> tools;
  for (const auto& command : commands) {
    if (command.empty()) continue;
    std::string tool = lastComponent(command.front());
    if (std::find(tools.begin(), tools.end(), tool) == tools.end())
      tools.push_back(std::move(tool));
  }
  std::string named;
  for (const auto& tool : tools) named += (named.empty() ? "" : ", ") + tool;
  if (!named.empty()) parts.push_back(std::move(named));
  std::string text;
  for (const auto& part : parts) text += (text.empty() ? "" : " · ") + part;
  if (bytes >= 1) text += (text.empty() ? "" : " · ") + size(bytes);
  return text;
}

std::vector<Action> plan(const std::optional<DiskScan>& scan, const Config& config,
                         bool weeklyDue) {
  std::vector<Action> actions;
  if (!scan) return actions;
  for (const DiskRule rule : DiskRules::allCases) {
    const auto raw = DiskRules::rawValue(rule);
    if (std::find(config.diskOff.begin(), config.diskOff.end(), raw) != config.diskOff.end())
      continue;
    if (DiskRules::weekly(rule) && !weeklyDue) continue;
    if (auto a = action(rule, *scan, config)) actions.push_back(std::move(*a));
  }
  return actions;
}

std::optional<Action> action(DiskRule rule, const DiskScan& scan, const Config& config) {
  const auto found = scan.rules.find(rule);
  if (found == scan.rules.end()) return std::nullopt;
  const DiskRuleScan& ruleScan = found->second;
  const auto kept = DiskPaths::keptEntries(config.allowlist.paths, scan.home);
  const auto roots = projectRoots(config, scan.home);

  std::vector<DiskItem> items;
  int64_t dropped = 0;
  for (const auto& item : ruleScan.items) {
    const bool outsideRoots = rule == DiskRule::builds && !underARoot(item.path, roots);
    if (outsideRoots || DiskPaths::kept(item.path, kept)) {
      // Saturating: sizes come from a stored scan and may be anything.
      dropped = item.bytes > std::numeric_limits<int64_t>::max() - dropped
                    ? std::numeric_limits<int64_t>::max()
                    : dropped + std::max<int64_t>(item.bytes, 0);
      continue;
    }
    items.push_back(item);
  }
  if (items.empty() && ruleScan.commands.empty()) return std::nullopt;

  const int64_t bytes = std::max<int64_t>(ruleScan.bytes - std::min(dropped, ruleScan.bytes), 0);
  const auto count = static_cast<int64_t>(items.size());
  Action a{.rule = Rule::disk,
           .kind = ActionKind::cleanDisk,
           .pid = 0,
           .target = std::string(DiskRules::title(rule)),
           .reason = summary(count, ruleScan.commands, bytes, Format::fileBytes),
           .memory = 0};
  a.disk =
      DiskJob{rule, std::move(items), ruleScan.commands, bytes, count, rule == DiskRule::downloads};
  return a;
}

}  // namespace kelvane::DiskPlanner
