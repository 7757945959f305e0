#pragma once
// Guards: whether the sweep may touch a process at all, and if not, the short
// word the user interface shows beside it ("other user", "system", "in use",
// "allowlisted", "helper of Mail", ...). Pure.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/config/allowlist.h"
#include "core/model/proc.h"
#include "core/model/snapshot.h"

namespace kelvane::Guards {

// Processes never ended by a sweep, by name ("Kelvane" is the desktop application itself).
inline constexpr std::array<std::string_view, 8> protectedNames{
    "WindowServer",       "Dock",   "Finder", "loginwindow", "SystemUIServer", "ControlCenter",
    "NotificationCenter", "Kelvane"};

// Returns nothing when `proc` may be acted on, otherwise why not. `window` is
// true when the deed closes a window or tab of the process instead of ending it
// (protected names and the frontmost application may then be touched).
[[nodiscard]] std::optional<std::string> block(const Proc& proc, const Snapshot& snapshot,
                                               const Allowlist& allowlist, bool window);

// Returns the name, without ".app", of the outermost application bundle on
// `path` ("/Applications/Xcode.app/Contents/Developer/x" gives "Xcode");
// nullopt when no path component ends in ".app".
[[nodiscard]] std::optional<std::string> outermostAppName(std::string_view path);

// The guard prepared once for many processes of one snapshot; block() then
// costs a few lookups instead of a pass over every application. `snapshot` and
// `allowlist` must outlive it.
class Checker {
 public:
  // With `honourFront` false the frontmost application is not "in use" (the
  // user asked to quit it at once).
  Checker(const Snapshot& snapshot, const Allowlist& allowlist, bool honourFront = true);

  // Returns the same answer as Guards::block for this snapshot and allowlist.
  [[nodiscard]] std::optional<std::string> block(const Proc& proc, bool window) const;
  // Tells whether `pid` is the process of a regular (Dock) application.
  bool isRegularApp(int32_t pid) const { return regular_.contains(pid); }

 private:
  bool allowsApp(const RunningApp& app) const;
  std::optional<std::string> appRecordReason(const Proc& proc) const;

  const Snapshot& snapshot_;
  const Allowlist& allowlist_;
  std::optional<int32_t> front_;
  std::unordered_set<int32_t> regular_;
  std::unordered_set<std::string_view> allowedApps_;
  std::unordered_map<int32_t, std::vector<size_t>> appsByPid_;         // Indexes into apps.
  std::unordered_map<std::string_view, std::vector<size_t>> bundles_;  // By bundle path.
  std::vector<char> bundleLengths_;  // Which path lengths some bundle path has.
};

}  // namespace kelvane::Guards
