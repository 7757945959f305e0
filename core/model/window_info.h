#pragma once
// WindowInfo: one on-screen window of the system's window list.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "core/model/screen_frame.h"

namespace kelvane {

// Describes one on-screen window.
struct WindowInfo {
  uint32_t id = 0;      // The system's window ID.
  int32_t pid = 0;      // Owning process.
  std::string app;      // Name of the owning application.
  std::string title;    // May be empty.
  bool axSeen = false;  // Also found through Accessibility, so it can be closed.
  std::optional<ScreenFrame> frame;
  bool operator==(const WindowInfo&) const = default;
};

// JSON coding; `frame` is omitted when absent. from_json throws
// nlohmann::json::exception when a required key is missing or mistyped.
void to_json(nlohmann::json& j, const WindowInfo& window);
void from_json(const nlohmann::json& j, WindowInfo& window);

}  // namespace kelvane

// Hashes field by field, consistently with ==.
template <>
struct std::hash<kelvane::WindowInfo> {
  size_t operator()(const kelvane::WindowInfo& window) const noexcept;
};
