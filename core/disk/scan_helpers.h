#pragma once
// Small pieces the scanner's rules share. Internal to kelvane_disk.
#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/disk/disk_environment.h"
#include "core/disk/disk_files.h"
#include "core/disk_records/disk_paths.h"

namespace kelvane::ScanHelpers {

inline constexpr double kHour = 3600;
inline constexpr double kWeek = 604800;
inline constexpr double kMonth = 2592000;  // 30 days

// The tool's path, or nullopt when the host finds none (or gave no way to look).
inline std::optional<std::string> tool(const DiskEnvironment& env, const std::string& name) {
  return env.tool ? env.tool(name) : std::nullopt;
}

// Adds without wrapping: a sum too large to hold stays at the largest count.
inline void addBytes(int64_t& sum, int64_t bytes) {
  if (__builtin_add_overflow(sum, std::max<int64_t>(bytes, 0), &sum))
    sum = std::numeric_limits<int64_t>::max();
}

// Whether a path found under `root` may be proposed at all.
inline bool admitted(const std::string& path, const std::string& root, const DiskEnvironment& env) {
  return DiskPaths::inside(path, root) && !DiskPaths::kept(path, env.kept);
}

inline DiskItem itemAt(const std::string& path, const std::string& root, HardLinks& links) {
  return DiskItem{.path = path, .root = root, .bytes = DiskScanner::size(path, links)};
}

// A rule's scan with the given items, their bytes summed.
inline DiskRuleScan withItems(std::vector<DiskItem> items) {
  DiskRuleScan scan;
  for (const auto& item : items) addBytes(scan.bytes, item.bytes);
  scan.items = std::move(items);
  return scan;
}

inline std::string_view lastName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace kelvane::ScanHelpers
