#pragma once
// Proc: one process as the snapshot's producer saw it. Plain values only; it
// holds no handle on the live process.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/support/date.h"

namespace kelvane {

// Describes one process as the producer saw it.
struct Proc {
  int32_t pid = 0;
  int32_t ppid = 0;
  uint32_t uid = 0;
  std::string name;
  std::string path;                   // Executable path; may be empty.
  std::optional<std::string> tty;     // Controlling terminal, absent for daemons and the like.
  double cpu = 0;                     // Cumulative CPU seconds since the process started.
  uint64_t rss = 0;                   // Resident memory in bytes.
  std::vector<uint16_t> listenPorts;  // TCP ports it listens on.
  int64_t established = 0;            // Established connections.
  std::optional<std::string> bundleID;
  std::optional<Date> started;
  std::optional<std::string> cwd;
  std::optional<int32_t> responsible;                 // The owning application's process ID.
  std::optional<std::vector<uint16_t>> exposedPorts;  // Listening beyond loopback.
  bool operator==(const Proc&) const = default;
};

// JSON coding; optional fields are omitted when absent. from_json throws
// nlohmann::json::exception when a required key is missing or mistyped, or an
// integer does not fit its width (a port above 65535, a negative user ID).
void to_json(nlohmann::json& j, const Proc& proc);
void from_json(const nlohmann::json& j, Proc& proc);

}  // namespace kelvane

// Hashes field by field, consistently with ==.
template <>
struct std::hash<kelvane::Proc> {
  size_t operator()(const kelvane::Proc& proc) const noexcept;
};
