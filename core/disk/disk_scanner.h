#pragma once
// DiskScanner: walks the home folder once per scan and measures every cleanup rule:
// the items it would remove, the tool commands it would run, the bytes it expects to
// free and a note when it could not look, plus large folders offered for review. It
// only reads; the only tools it runs are "git ls-files" and "rustup toolchain list".
// Everything it needs from the machine comes through DiskEnvironment. Stateless;
// a scan is long-running and belongs off the main thread.
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/disk/disk_environment.h"
#include "core/disk/disk_files.h"
#include "core/disk_records/disk_records.h"

namespace kelvane::DiskScanner {

// Tells the caller which step begins: a rule's title, or "Large items" for suggestions.
using StepObserver = std::function<void(std::string_view step)>;

// Scans every rule in order, then the suggestions. A file with several hard links counts
// once, in the first rule that meets it. Unreadable places contribute nothing.
DiskScan scan(const DiskEnvironment& env);
// Scans as above, telling `starting` about each step before it begins.
DiskScan scan(const DiskEnvironment& env, const StepObserver& starting);

// The rules, each measuring sizes against `links` (shared by one scan). Every item lies
// inside the rule's folder (DiskPaths::inside) and is not kept.

// Entries of application cache folders untouched for an hour, unless the application
// runs, holds a file open there, or a package tool cleans the folder.
DiskRuleScan caches(const DiskEnvironment& env, HardLinks& links);
// Log files older than 7 days anywhere under ~/Library/Logs.
DiskRuleScan logs(const DiskEnvironment& env, HardLinks& links);
// DerivedData folders untouched for 7 days; nothing while xcodebuild runs.
DiskRuleScan derivedData(const DiskEnvironment& env, HardLinks& links);
// The package tools' clean commands with the sizes of their caches, and cargo's
// downloaded crates; the note "no package tool found" when there is neither.
DiskRuleScan packageCaches(const DiskEnvironment& env, HardLinks& links);
// "docker image prune -f" while Docker runs; else the note "Docker is not running".
DiskRuleScan docker(const DiskEnvironment& env);
// "xcrun simctl delete unavailable" when xcrun is found; else "Xcode is not installed".
DiskRuleScan simulators(const DiskEnvironment& env);
// The scan of ~/Downloads and whether it could be listed: the note "needs access to
// Downloads" and false when it exists but cannot be.
std::pair<DiskRuleScan, bool> downloads(const DiskEnvironment& env, HardLinks& links);
// Items in the Trash (env.trash, else ~/.Trash) added more than 30 days ago, and whether
// the Trash could be listed (Full Disk Access): a missing Trash is empty and true, an
// unlistable one has the note "needs Full Disk Access" and false.
std::pair<DiskRuleScan, bool> trash(const DiskEnvironment& env, HardLinks& links);
// Build folders of projects under the project roots whose sources are untouched for 30
// days; in a git repository only those git tracks nothing in.
DiskRuleScan builds(const DiskEnvironment& env, HardLinks& links);
// Old nvm Node versions, device-support folders beyond the newest two, and rustup
// toolchains that are neither default, override nor active.
DiskRuleScan libraries(const DiskEnvironment& env, HardLinks& links);

// Returns the entries of `dir` added more than 30 days ago. For Downloads also skips
// hidden names and git checkouts, and requires the entry and everything in it untouched
// for 30 days. An entry without an added date is skipped.
std::vector<DiskItem> addedLongAgo(const std::string& dir, const DiskEnvironment& env,
                                   bool downloads, HardLinks& links);

// Returns the host's large items worth a look: 1 GB or more, or 500 MB and unused for
// 180 days; inside the home but not the Trash or an application's or virtual machine's
// package; neither ignored nor kept. Largest first, at most 50.
std::vector<Suggestion> suggestions(const DiskEnvironment& env);

// Tells whether the build folder `dir` of `project` may go: never when it holds ".git";
// in a git repository only when `git` is found and "git ls-files" names no tracked file
// in it (a failed or timed-out run keeps the folder).
bool removableBuild(
    const std::string& dir, const std::string& project, bool inGit,
    const std::optional<std::string>& git,
    const std::function<std::optional<ShellResult>(const std::vector<std::string>&)>& run);

// Returns the nvm versions to keep, given the versions in ascending order and the text
// of the default alias: none for no versions; the newest for "node" or "stable"; for a
// version prefix ("18", "v20.11") the newest match and the newest overall. nullopt (keep
// everything) for a missing, blank or unreadable alias, or one that matches nothing.
[[nodiscard]] std::optional<std::set<std::string>> nvmKeep(const std::vector<std::string>& versions,
                                                           const std::optional<std::string>& alias);

}  // namespace kelvane::DiskScanner
