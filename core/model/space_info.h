#pragma once
// SpaceInfo: one Mission Control Space of one display, as the snapshot lists it.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "core/model/screen_frame.h"

namespace kelvane {

// Describes one Space of one display.
struct SpaceInfo {
  int64_t id = 0;        // The system's managed Space ID.
  std::string display;   // Display identifier; "Main" when the system gives none.
  int64_t type = 0;      // 0 for an ordinary desktop, anything else is full-screen.
  bool current = false;  // Shown right now on its display.
  std::optional<std::string> displayName;   // Known only when the screen is.
  std::optional<ScreenFrame> displayFrame;  // Known only when the screen is.
  bool operator==(const SpaceInfo&) const = default;
};

// JSON coding; optional fields are omitted when absent. from_json throws
// nlohmann::json::exception when a required key is missing or mistyped.
void to_json(nlohmann::json& j, const SpaceInfo& space);
void from_json(const nlohmann::json& j, SpaceInfo& space);

}  // namespace kelvane

// Hashes field by field, consistently with ==.
template <>
struct std::hash<kelvane::SpaceInfo> {
  size_t operator()(const kelvane::SpaceInfo& space) const noexcept;
};
