#include "core/proc/proc_groups.h"

#include <limits>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

namespace kelvane {
namespace {

struct BundlePrefix {
  int32_t pid = 0;
  std::string prefix;  // The bundle path followed by "/".
};

std::vector<BundlePrefix> bundlePrefixes(const std::vector<RunningApp>& apps) {
  std::vector<BundlePrefix> out;
  for (const auto& app : apps) {
    if (!app.bundlePath) continue;
    std::string path = *app.bundlePath;
    while (!path.empty() && path.back() == '/') path.pop_back();
    // An empty or root bundle path would claim every process on the machine.
    if (path.empty()) continue;
    out.push_back({app.pid, path + "/"});
  }
  return out;
}

// The application whose bundle holds `path` most closely.
std::optional<int32_t> owner(const std::string& path, const std::vector<BundlePrefix>& prefixes) {
  const BundlePrefix* best = nullptr;
  for (const auto& candidate : prefixes)
    if (path.starts_with(candidate.prefix) &&
        (!best || candidate.prefix.size() > best->prefix.size()))
      best = &candidate;
  if (!best) return std::nullopt;
  return best->pid;
}

}  // namespace

std::vector<int32_t> ProcGroup::pids() const {
  std::vector<int32_t> out{main.pid};
  for (const auto& helper : helpers) out.push_back(helper.pid);
  return out;
}

uint64_t ProcGroup::rss() const {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  uint64_t total = main.rss;
  for (const auto& helper : helpers) total = helper.rss > kMax - total ? kMax : total + helper.rss;
  return total;
}

namespace ProcGroups {

std::vector<ProcGroup> fold(const std::vector<Proc>& procs, const std::vector<RunningApp>& apps) {
  std::unordered_set<int32_t> appPids;
  for (const auto& app : apps) appPids.insert(app.pid);
  const auto prefixes = bundlePrefixes(apps);

  std::vector<ProcGroup> groups;
  std::unordered_map<int32_t, size_t> groupOf;  // Application pid to its group.
  for (const auto& proc : procs) {
    if (!appPids.contains(proc.pid) || groupOf.contains(proc.pid)) continue;
    groupOf[proc.pid] = groups.size();
    groups.push_back({.main = proc});
  }
  for (const auto& proc : procs) {
    if (appPids.contains(proc.pid)) continue;
    const auto app = owner(proc.path, prefixes);
    if (!app) continue;
    if (const auto it = groupOf.find(*app); it != groupOf.end())
      groups[it->second].helpers.push_back(proc);
  }
  return groups;
}

}  // namespace ProcGroups

}  // namespace kelvane
