#pragma once
// AllowCandidates: ready-made entries for the allowlist editor (applications,
// programs, sites) drawn from the current desktop, so the user need not type
// bundle identifiers, executable paths or host names. Pure.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/config/allowlist.h"
#include "core/model/snapshot.h"

namespace kelvane {

// One entry the allowlist editor offers.
struct AllowCandidate {
  std::string value;                    // What goes into the allowlist when chosen.
  std::string title;                    // What the user reads.
  std::string note;                     // "installed", "running", "1 tab", "3 tabs", a place.
  std::optional<std::string> iconPath;  // A bundle whose icon to show.
  bool kept = false;                    // The allowlist holds it already.
  std::optional<std::string> warning;   // Shown before keeping when that reaches further.
  bool operator==(const AllowCandidate&) const = default;
};

// An application the desktop application found installed.
struct InstalledApp {
  std::optional<std::string> bundleID;
  std::string name;
  std::string path;  // The bundle's path.
  bool operator==(const InstalledApp&) const = default;
};

namespace AllowCandidates {

// Returns one candidate per application (by bundle identifier, else name):
// the installed ones, then the regular applications of `snapshot` (none when
// it is null), a running one replacing an installed one. Sorted by title.
[[nodiscard]] std::vector<AllowCandidate> apps(const Snapshot* snapshot,
                                               const std::vector<InstalledApp>& installed,
                                               const Allowlist& allowlist);

// Returns one candidate per program (executable path, else name) run by the
// user outside regular applications, leaving out what the process guard
// refuses for other reasons than the allowlist. Sorted by title.
[[nodiscard]] std::vector<AllowCandidate> processes(const Snapshot& snapshot,
                                                    const Allowlist& allowlist);

// Returns one candidate per lower-cased host of the web tabs (http and https
// addresses only), noting how many tabs show it. Sorted by title.
[[nodiscard]] std::vector<AllowCandidate> sites(const Snapshot& snapshot,
                                                const Allowlist& allowlist);

// Returns how many of the user's processes have `key` as their name or their
// non-empty executable path: the processes an entry `key` would keep.
[[nodiscard]] int sharedCount(std::string_view key, const Snapshot& snapshot);

}  // namespace AllowCandidates
}  // namespace kelvane
