#pragma once
// Snapshot: one observation of the user's desktop, taken by the application on
// every tick. Everything that decides what to sweep reads these values and
// nothing else about the live system.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/model/browser_tab.h"
#include "core/model/browser_window.h"
#include "core/model/health.h"
#include "core/model/proc.h"
#include "core/model/running_app.h"
#include "core/model/space_info.h"
#include "core/model/window_info.h"
#include "core/support/date.h"

namespace kelvane {

// Holds one observation of the desktop; every figure is taken at `at`.
struct Snapshot {
  Date at;          // When it was taken: the "now" of every decision made on it.
  uint32_t me = 0;  // The user the core runs for; other users' processes are never touched.
  std::optional<int32_t> frontPID;
  std::optional<uint32_t> focusedWindow;
  std::vector<Proc> procs;
  std::vector<RunningApp> apps;
  std::vector<WindowInfo> windows;        // In the producer's order.
  std::map<std::string, double> ttyIdle;  // Seconds since input, per tty name.
  Health health;
  Date boot;
  bool axTrusted = false;  // The Accessibility permission is held.
  int32_t session = 0;     // The login session.
  std::vector<BrowserTab> tabs;
  std::optional<std::vector<SpaceInfo>> spaces;           // Absent when unknown.
  std::map<uint32_t, std::vector<int64_t>> windowSpaces;  // Window ID to its Space IDs.
  std::vector<std::string> automationDenied;              // Browsers whose tabs could not be read.
  std::map<uint32_t, BrowserWindow> browserWindowOf;      // System window ID to browser window.
  std::optional<bool> trashReadable;                      // Absent when not looked at.
  bool operator==(const Snapshot&) const = default;
};

// JSON coding; optional fields are omitted when absent, and the two maps keyed
// by window ID are objects keyed by its decimal text. from_json throws
// nlohmann::json::exception when any required key, of the snapshot or of a
// record inside it, is missing or mistyped, or a map key is not a decimal
// window ID; decodeJson<Snapshot> then gives nullopt.
void to_json(nlohmann::json& j, const Snapshot& snapshot);
void from_json(const nlohmann::json& j, Snapshot& snapshot);

}  // namespace kelvane

// Hashes field by field, consistently with ==.
template <>
struct std::hash<kelvane::Snapshot> {
  size_t operator()(const kelvane::Snapshot& snapshot) const noexcept;
};
