#pragma once
// FileWalk: a depth-first walk below one folder that never follows symbolic links,
// reads each item's own attributes once and opens nothing but folders. It tells what
// it could not look at, so that callers never take a partial look for a whole one.
// Internal to the disk scanner.
#include <cstddef>
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

// What a walk could not look at. Items that vanish while it runs are not gaps: they are
// gone, and nothing of them is left to see.
struct Gaps {
  size_t unreadable = 0;  // Folders that could not be opened or listed to the end, and
                          // entries whose attributes could not be read.
  size_t tooDeep = 0;     // Folders lying deeper than kMaxDepth, not entered.
  std::string first;      // The path of the first gap met; empty when there is none.

  bool none() const { return unreadable == 0 && tooDeep == 0; }
  // Adds the gaps of another look, keeping the first path met.
  void add(const Gaps& other);
  bool operator==(const Gaps&) const = default;
};

// How a walk went: whether its start folder could be opened, and the gaps below it.
struct Walked {
  bool opened = false;
  Gaps gaps;
};

// Visits every item below `dir` (not `dir` itself) in directory order, entering folders
// when `visit` says descend. A symbolic link is an item, never entered. Folders that
// cannot be read or lie too deep contribute nothing and are counted as gaps. `opened` is
// false when `dir` itself cannot be opened as a folder.
Walked walk(const std::string& dir, const std::function<Next(const Item&)>& visit);

// Returns a file time stamp as seconds since 1970, fraction included.
double unixSeconds(const struct timespec& time);

}  // namespace kelvane::FileWalk
