#pragma once
// BrowserWindow: a browser's own window, as matched to a system window.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include <nlohmann/json_fwd.hpp>

#include "core/model/screen_frame.h"

namespace kelvane {

// Describes a browser's own window, as matched to a system window.
struct BrowserWindow {
  std::string browser;   // Bundle identifier of the browser.
  int64_t windowID = 0;  // The browser's own window ID.
  ScreenFrame frame;
  std::string name;  // Window name as the browser reports it.
  bool operator==(const BrowserWindow&) const = default;
};

// JSON coding; from_json throws nlohmann::json::exception when a key is
// missing or mistyped.
void to_json(nlohmann::json& j, const BrowserWindow& window);
void from_json(const nlohmann::json& j, BrowserWindow& window);

}  // namespace kelvane

// Hashes field by field, consistently with ==.
template <>
struct std::hash<kelvane::BrowserWindow> {
  size_t operator()(const kelvane::BrowserWindow& window) const noexcept;
};
