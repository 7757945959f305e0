#pragma once
// The disk scanner's file functions: listing, sizes from allocated blocks, dates,
// the age checks that stop at the first recent file, and the project search. They
// only read, never follow symbolic links below the folder they are given, and answer
// empty, 0 or nullopt for whatever cannot be read.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "core/support/date.h"

namespace kelvane {

// The files with several hard links already counted in one scan, so that a file linked
// into many folders (a package store's node_modules) counts once, where it is first met.
class HardLinks final {
 public:
  // Tells whether the file (device, inode) is met for the first time, and records it.
  bool firstTime(uint64_t device, uint64_t inode);

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

// Tells whether the item itself is a folder; a link to a folder is not one.
bool isDir(const std::string& path);

// Returns the allocated size: 0 for a link; for a file its blocks; for a folder the sum
// over every item below it, links skipped and unreadable entries left out. A file with
// several links counts only the first time `links` meets it. Sums saturate.
int64_t size(const std::string& path, HardLinks& links);
// Returns size(path, links) with links counted once within this one call.
int64_t size(const std::string& path);

// Returns the item's own modification date; nullopt when its attributes cannot be read.
std::optional<Date> modified(const std::string& path);

// Returns the newest modification date of anything below `dir`, or the first one met that
// is not earlier than `after` (the walk stops there). nullopt when nothing below is dated.
std::optional<Date> newestInside(const std::string& dir, Date after);

// Like newestInside for the project's regular files only, without entering heavy or cache
// folders. nullopt when the project holds no dated source file.
std::optional<Date> newestSource(const std::string& project, Date after);

// Returns the folders under `root` (itself included) holding a project marker file, breadth
// first in name order, at most `depth` levels down. Hidden folders, ".app" bundles and heavy
// folders are not entered; a project's own sub-folders are still searched.
std::vector<std::string> projects(const std::string& root, int depth);

// Tells whether `path` or one of its parents (below "/") holds a ".git" entry.
bool inGit(const std::string& path);

// Returns when the item was added to its folder, at the earliest: the later of its birth
// time (where the file system keeps one) and its status-change time, which a move into
// the folder updates. nullopt when the item cannot be read.
std::optional<Date> addedDate(const std::string& path);

}  // namespace DiskScanner
}  // namespace kelvane
