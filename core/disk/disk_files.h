#pragma once
// The disk scanner's file functions: listing, sizes from allocated blocks, dates,
// the age checks that stop at the first recent file, and the project search. They
// only read, never follow symbolic links below the folder they are given, and answer
// empty, 0 or nullopt for whatever cannot be read.
#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/disk/file_walk.h"
#include "core/support/date.h"

namespace kelvane {

// What one scan has measured so far. A file with several hard links (a package store's
// files linked into every project's node_modules) counts once, where it is first met, as
// `du` counts it once across all the paths it is given. The running totals feed the
// progress shown while a scan runs.
class Tally final {
 public:
  // Told the totals every kProgressEvery items, from the scanning thread.
  using Observer = std::function<void(uint64_t items, int64_t bytes)>;
  static constexpr uint64_t kProgressEvery = 4096;

  Tally() = default;
  explicit Tally(Observer observer) : observer_(std::move(observer)) {}

  // Tells whether the file (device, inode) is met for the first time, and records it.
  bool firstTime(uint64_t device, uint64_t inode);
  // Counts one measured item of `bytes`.
  void count(int64_t bytes);
  uint64_t items() const { return items_; }
  int64_t bytes() const { return bytes_; }

 private:
  struct Key {
    uint64_t device;
    uint64_t inode;
    bool operator==(const Key&) const = default;
  };
  struct KeyHash {
    size_t operator()(const Key& key) const noexcept;
  };
  std::unordered_set<Key, KeyHash> seen_;
  Observer observer_;
  uint64_t items_ = 0;
  int64_t bytes_ = 0;
};

// An item's size as measured, with what could not be read of it.
struct Measured {
  int64_t bytes = 0;
  FileWalk::Gaps gaps;  // The size is whole only when there are none.
  bool found = true;    // False when the item is gone.
};

namespace DiskScanner {

// A file that marks a project folder, and the build folders such a project makes.
struct ProjectMarker {
  std::string_view file;
  std::array<std::string_view, 4> builds;  // Empty names are unused places.
};
inline constexpr std::array<ProjectMarker, 4> kProjectMarkers = {{
    {"package.json", {"node_modules", ".next", "dist", "build"}},
    {"Cargo.toml", {"target"}},
    {"build.gradle", {"dist", "build"}},
    {"CMakeLists.txt", {"dist", "build"}},
}};

// Folders never entered when searching projects or source files.
inline constexpr std::array<std::string_view, 9> kHeavyFolders = {
    "node_modules", ".next", "dist", "build", "target", ".git", ".build", "DerivedData", "Pods"};
// Folders never entered when looking for source files.
inline constexpr std::array<std::string_view, 13> kCacheFolders = {
    ".git", ".venv",   ".cache",      ".turbo", ".yarn",    ".pnpm-store", ".gradle",
    ".tox", ".direnv", ".mypy_cache", ".nx",    ".angular", ".terraform"};

// Returns the folder's entries (hidden ones too) as full paths, sorted by name as bytes.
// Empty when the folder is missing or unreadable.
std::vector<std::string> entries(const std::string& dir);

// Tells whether the folder can be opened for listing (it exists, is one, and may be read).
bool listable(const std::string& dir);

// Tells whether the item itself is a folder; a link to a folder is not one.
bool isDir(const std::string& path);

// Measures the blocks an item holds, as `du -s --block-size=1` does: for a file or a
// link its own blocks, for a folder its own and those of everything below it (links are
// never followed). A file with several links counts only the first time `tally` meets
// it. Sums saturate. Folders that cannot be read, or lie too deep, are gaps.
Measured measure(const std::string& path, Tally& tally);
// Returns the bytes measure() finds, with links counted once within this one call.
int64_t size(const std::string& path);

// Returns the contents of a small regular file, opened without following a link and
// without waiting (a FIFO or device there is refused, never opened for reading).
// nullopt when it is missing, not a regular file, unreadable or above `maxBytes`.
[[nodiscard]] std::optional<std::string> smallFile(const std::string& path,
                                                   size_t maxBytes = 64 * 1024);

// Returns the item's own modification date; nullopt when its attributes cannot be read.
std::optional<Date> modified(const std::string& path);

// Returns the newest modification date of anything below `dir`, or the first one met that
// is not earlier than `after` (the walk stops there). nullopt when nothing below is dated.
std::optional<Date> newestInside(const std::string& dir, Date after);

// Like newestInside for the project's regular files only, without entering heavy or cache
// folders. nullopt when the project holds no dated source file.
std::optional<Date> newestSource(const std::string& project, Date after);

// The projects a search found, and the folders it could not look into.
struct ProjectSearch {
  std::vector<std::string> found;
  FileWalk::Gaps gaps;
};

// Returns the folders under `root` (itself included) holding a project marker file, breadth
// first in name order, at most `depth` levels down. Hidden folders, ".app" bundles and heavy
// folders are not entered; a project's own sub-folders are still searched.
ProjectSearch projects(const std::string& root, int depth);

// Tells whether `path` or one of its parents (below "/") holds a ".git" entry.
bool inGit(const std::string& path);

// Returns when the item was added to its folder, at the earliest: the later of its birth
// time (where the file system keeps one) and its status-change time, which a move into
// the folder updates. nullopt when the item cannot be read.
std::optional<Date> addedDate(const std::string& path);

}  // namespace DiskScanner
}  // namespace kelvane
