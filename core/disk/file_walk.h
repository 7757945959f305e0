#pragma once
// FileWalk: a depth-first walk below one folder that never follows symbolic links
// and reads each item's own attributes once. Internal to the disk scanner.
#include <functional>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace kelvane::FileWalk {

// Folders nested deeper than this below the walk's start are not entered: each level
// holds one descriptor open while its children are walked.
inline constexpr int kMaxDepth = 256;

// One item met by the walk, with its own attributes (links not followed).
struct Item {
  std::string_view parent;  // The folder holding the item.
  std::string_view name;
  const struct stat& info;
  int depth;  // 1 for the start folder's own entries.
  // Returns parent + "/" + name.
  std::string path() const;
};

// What the walk does after an item: enter it (when it is a folder), pass over it, or end.
enum class Next { descend, skip, stop };

// Visits every item below `dir` (not `dir` itself) in directory order, entering folders
// when `visit` says descend. A symbolic link is an item, never entered. Folders that are
// unreadable, vanish or lie too deep contribute nothing, as do items whose attributes
// cannot be read. Returns false when `dir` itself cannot be opened as a folder.
bool walk(const std::string& dir, const std::function<Next(const Item&)>& visit);

// Returns a file time stamp as seconds since 1970, fraction included.
double unixSeconds(const struct timespec& time);

}  // namespace kelvane::FileWalk
