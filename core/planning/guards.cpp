#include "core/planning/guards.h"

#include <algorithm>
#include <limits>

namespace kelvane::Guards {
namespace {

// Where the operating system keeps its own programs.
constexpr std::array<std::string_view, 5> kSystemPrefixes{"/System/", "/usr/", "/bin/", "/sbin/",
                                                          "/Library/Apple/"};
constexpr std::string_view kSimulatorDevices = "/Library/Developer/CoreSimulator/";

bool isSystemPath(std::string_view path) {
  return std::any_of(kSystemPrefixes.begin(), kSystemPrefixes.end(),
                     [&](std::string_view prefix) { return path.starts_with(prefix); });
}

bool isProtectedName(std::string_view name) {
  return std::find(protectedNames.begin(), protectedNames.end(), name) != protectedNames.end();
}

// The outermost ".app" component of `path` without its ending; nullopt when none.
std::optional<std::string_view> outermostBundle(std::string_view path) {
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('/', start);
    if (end == std::string_view::npos) end = path.size();
    const std::string_view part = path.substr(start, end - start);
    if (part.ends_with(".app")) return part.substr(0, part.size() - 4);
    start = end + 1;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::string> outermostAppName(std::string_view path) {
  const auto name = outermostBundle(path);
  if (!name) return std::nullopt;
  return std::string(*name);
}

std::optional<std::string> block(const Proc& proc, const Snapshot& snapshot,
                                 const Allowlist& allowlist, bool window) {
  return Checker(snapshot, allowlist).block(proc, window);
}

Checker::Checker(const Snapshot& snapshot, const Allowlist& allowlist, bool honourFront)
    : snapshot_(snapshot), allowlist_(allowlist) {
  if (honourFront) front_ = snapshot.frontPID;
  allowedApps_.insert(allowlist.apps.begin(), allowlist.apps.end());
  for (size_t i = 0; i < snapshot.apps.size(); ++i) {
    const RunningApp& app = snapshot.apps[i];
    if (app.policy == AppPolicy::regular) regular_.insert(app.pid);
    appsByPid_[app.pid].push_back(i);
    if (!app.bundlePath) continue;
    bundles_[*app.bundlePath].push_back(i);
    const size_t length = app.bundlePath->size();
    if (bundleLengths_.size() <= length) bundleLengths_.resize(length + 1);
    bundleLengths_[length] = 1;
  }
}

bool Checker::allowsApp(const RunningApp& app) const {
  return (app.bundleID && allowedApps_.contains(*app.bundleID)) || allowedApps_.contains(app.name);
}

// The first application record, in snapshot order, that speaks for the
// process: another application whose bundle holds its executable (the process
// is its helper), or its own record when that application is allowlisted.
std::optional<std::string> Checker::appRecordReason(const Proc& proc) const {
  constexpr size_t kNone = std::numeric_limits<size_t>::max();
  size_t first = kNone;
  if (const auto own = appsByPid_.find(proc.pid); own != appsByPid_.end()) {
    for (const size_t i : own->second)
      if (allowsApp(snapshot_.apps[i])) first = std::min(first, i);
  }
  const std::string_view path = proc.path;
  for (size_t slash = path.find('/'); slash != std::string_view::npos;
       slash = path.find('/', slash + 1)) {
    if (slash >= bundleLengths_.size()) break;
    if (!bundleLengths_[slash]) continue;
    const auto holders = bundles_.find(path.substr(0, slash));
    if (holders == bundles_.end()) continue;
    for (const size_t i : holders->second)
      if (snapshot_.apps[i].pid != proc.pid) first = std::min(first, i);
  }
  if (first == kNone) return std::nullopt;
  const RunningApp& app = snapshot_.apps[first];
  if (app.pid == proc.pid || allowsApp(app)) return "allowlisted";
  return "helper of " + app.name;
}

std::optional<std::string> Checker::block(const Proc& proc, bool window) const {
  if (proc.uid != snapshot_.me) return "other user";
  if (proc.path.empty()) return "unknown path";
  if (!regular_.contains(proc.pid) && !proc.tty && isSystemPath(proc.path)) return "system";
  if (!window) {
    if (isProtectedName(proc.name)) return "protected";
    if (front_ == proc.pid) return "in use";
  }
  if (allowlist_.has(proc)) return "allowlisted";
  if (proc.bundleID && allowedApps_.contains(*proc.bundleID)) return "allowlisted";
  if (const auto bundle = outermostBundle(proc.path); bundle && allowedApps_.contains(*bundle))
    return "allowlisted";
  if (proc.path.find(kSimulatorDevices) != std::string::npos) return "helper of Simulator";
  return appRecordReason(proc);
}

}  // namespace kelvane::Guards
