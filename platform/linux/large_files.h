#pragma once
// LargeFiles: this platform has no metadata index to ask for large items, so the
// host finds them with a walk of the home folder that is bounded in the number of
// items it looks at, and stays on the home's own file system.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/disk_records/disk_records.h"

namespace kelvane::LargeFiles {

// How far the walk goes: items looked at before it gives up.
inline constexpr size_t kMaxItems = 500'000;

// Returns the regular files under `home` that hold at least `minBytes` allocated bytes,
// with the later of their access and modification times as their last use; a file with
// several hard links is listed once, under the first name met. Skips both
// Trash folders (~/.Trash, ~/.local/share/Trash), heavy build and cache folders and other
// file systems; stops after `maxItems` items. Empty when `home` cannot be read.
std::vector<Suggestion> find(const std::string& home, int64_t minBytes,
                             size_t maxItems = kMaxItems);

}  // namespace kelvane::LargeFiles
