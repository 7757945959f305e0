#pragma once
// Small pieces the scanner's rules share. Internal to kelvane_disk.
#include <algorithm>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "core/disk/disk_environment.h"

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

inline std::string_view lastName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace kelvane::ScanHelpers
