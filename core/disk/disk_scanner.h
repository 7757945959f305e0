#pragma once
// DiskScanner: walks the home folder once per scan and measures every cleanup rule:
// the items it would remove, the tool commands it would run, the bytes it expects to
// free and a note when it could not look or left something out, plus large folders
// offered for review. It only reads: it changes nothing under the home, opens no file
// that is not a regular file or a folder, and the only tool it runs is "git ls-files".
// Everything it needs from the machine comes through DiskEnvironment. Stateless; a scan
// is long-running and belongs off the main thread.
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/disk/disk_environment.h"
#include "core/disk/disk_files.h"
#include "core/disk/rule_items.h"
#include "core/disk_records/disk_records.h"

namespace kelvane::DiskScanner {

// How far a scan has come: the step under way and what it has measured so far.
struct ScanProgress {
  std::string_view step;  // A rule's title, or "Large items" for the suggestions.
  uint64_t items = 0;     // Files and folders measured.
  int64_t bytes = 0;      // Their allocated bytes.
};
// Told about each step as it begins and every few thousand items within it, on the
// scanning thread.
using ProgressObserver = std::function<void(const ScanProgress& progress)>;

// Scans every rule in order, then the suggestions. A file with several hard links counts
// once, in the first rule that meets it. What could not be read is left out and named in
// the rule's note.
DiskScan scan(const DiskEnvironment& env);
// Scans as above, telling `progress` how far it has come.
DiskScan scan(const DiskEnvironment& env, const ProgressObserver& progress);

// The rules, each measuring sizes against `tally` (shared by one scan). Every item lies
// inside the rule's folder (DiskPaths::inside), is not kept, is held by no running
// program and has a size read in full; the note names what was left out and why.

// Entries of application cache folders untouched for an hour, unless the application
// runs, something there is in use, or a package tool cleans the folder.
DiskRuleScan caches(const DiskEnvironment& env, Tally& tally);
// Log files older than 7 days anywhere under ~/Library/Logs.
DiskRuleScan logs(const DiskEnvironment& env, Tally& tally);
// DerivedData folders untouched for 7 days; nothing while xcodebuild runs.
DiskRuleScan derivedData(const DiskEnvironment& env, Tally& tally);
// The package tools' clean commands with the sizes of their caches, and cargo's
// downloaded crates; the note "no package tool found" when there is neither.
DiskRuleScan packageCaches(const DiskEnvironment& env, Tally& tally);
// "docker image prune -f" while Docker runs; else the note "Docker is not running".
DiskRuleScan docker(const DiskEnvironment& env);
// "xcrun simctl delete unavailable" when xcrun is found; else "Xcode is not installed".
DiskRuleScan simulators(const DiskEnvironment& env);
// The scan of ~/Downloads and whether it could be listed: the note "needs access to
// Downloads" and false when it exists but cannot be.
std::pair<DiskRuleScan, bool> downloads(const DiskEnvironment& env, Tally& tally);
// Items in the Trash (env.trash, else ~/.Trash) added more than 30 days ago, and whether
// the Trash could be listed (Full Disk Access): a missing Trash is empty and true, an
// unlistable one has the note "needs Full Disk Access" and false.
std::pair<DiskRuleScan, bool> trash(const DiskEnvironment& env, Tally& tally);
// Build folders of projects under the project roots whose sources are untouched for 30
// days; in a git repository only those git tracks nothing in. Folders git could not
// judge (no git, a failing one) are left out and noted.
DiskRuleScan builds(const DiskEnvironment& env, Tally& tally);
// Old nvm Node versions, device-support folders beyond the newest two, and rustup
// toolchains nothing needs: kept are the default alias's and the newest Node version,
// rustup's default, its folder overrides and the newest stable toolchain, and whatever
// the projects under the project roots pin (.nvmrc, .node-version, rust-toolchain,
// rust-toolchain.toml). A pin that cannot be read keeps every version of its kind.
DiskRuleScan libraries(const DiskEnvironment& env, Tally& tally);

// Returns the projects under every project root, in root order, each once, and the
// folders the search could not look into.
ProjectSearch projectsUnderRoots(const DiskEnvironment& env);

// Offers the entries of `dir` added more than 30 days ago. For Downloads also skips
// hidden names and git checkouts, and requires the entry and everything in it untouched
// for 30 days. An entry without an added date is skipped.
void addedLongAgo(const std::string& dir, const DiskEnvironment& env, bool downloads,
                  RuleItems& items);

// Returns the host's large items worth a look: 1 GB or more, or 500 MB and unused for
// 180 days; inside the home but not the Trash or an application's or virtual machine's
// package; neither ignored nor kept. Largest first, at most 50.
std::vector<Suggestion> suggestions(const DiskEnvironment& env);

// What git says of a build folder.
struct BuildCheck {
  bool removable = false;
  // Why git could not tell: "git not found", "git could not run", "git timed out",
  // "git failed (<its first line of errors>)"; nullopt when it could.
  std::optional<std::string> unknown;
  bool operator==(const BuildCheck&) const = default;
};

// Tells whether the build folder `dir` of `project` may go: never when it holds ".git";
// outside git always; in a git repository only when "git ls-files" names no tracked file
// in it. When git is missing or fails the folder stays, with the reason.
BuildCheck removableBuild(
    const std::string& dir, const std::string& project, bool inGit,
    const std::optional<std::string>& git,
    const std::function<std::optional<ShellResult>(const std::vector<std::string>&)>& run);

// Returns the nvm versions to keep, given the versions in ascending order and the text
// of the default alias: none for no versions; the newest for "node" or "stable"; for a
// version prefix ("18", "v20.11") the newest match and the newest overall. nullopt (keep
// everything) for a missing, blank or unreadable alias, or one that matches nothing.
[[nodiscard]] std::optional<std::set<std::string>> nvmKeep(const std::vector<std::string>& versions,
                                                           const std::optional<std::string>& alias);

// What a Node version text (an alias, an .nvmrc) names among the installed versions,
// given in ascending order.
struct NodeTarget {
  bool known = false;                  // False when the text is no version ("lts/iron").
  std::optional<std::string> version;  // The newest installed match; nullopt for none.
  bool operator==(const NodeTarget&) const = default;
};
// Reads the first line of `text`: "node" and "stable" name the newest version, "system"
// none of nvm's, a version or its prefix ("18", "v20.11") the newest that matches.
NodeTarget nodeTarget(const std::vector<std::string>& versions, std::string_view text);

// Returns the toolchain a rust-toolchain or rust-toolchain.toml text names: the channel
// of its [toolchain] table, or the whole text when it is one bare name. nullopt when it
// names none (a custom path, say).
[[nodiscard]] std::optional<std::string> toolchainPin(std::string_view text);

// What rustup's settings.toml keeps: its default toolchain and the toolchains of its
// folder overrides.
std::vector<std::string> rustupKept(std::string_view settings);

// Tells whether the toolchain folder `folder` ("nightly-x86_64-unknown-linux-gnu") is
// the one `name` ("nightly", "1.70", or the full folder name) stands for.
bool namesToolchain(std::string_view name, std::string_view folder);

}  // namespace kelvane::DiskScanner
