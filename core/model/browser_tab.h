#pragma once
// BrowserTab: one tab of a scriptable browser, with the identity by which it is
// followed across snapshots and whether closing it loses anything.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include <nlohmann/json_fwd.hpp>

namespace kelvane {

// Names the browser profile a tab belongs to.
struct BrowserProfile {
  std::string directory;  // Profile folder name.
  std::string name;       // Display name.
  bool operator==(const BrowserProfile&) const = default;
};

// JSON coding; from_json throws nlohmann::json::exception when a key is
// missing or not text.
void to_json(nlohmann::json& j, const BrowserProfile& profile);
void from_json(const nlohmann::json& j, BrowserProfile& profile);

// Describes one tab of a browser, by the browser's own IDs.
struct BrowserTab {
  std::string browser;               // Bundle identifier of the browser.
  int64_t windowID = 0;              // The browser's own window ID, not the system's.
  std::optional<std::string> tabID;  // The browser's own tab ID, where it has one.
  int64_t index = 0;                 // Position in its window.
  std::string url;
  std::string title;
  bool active = false;  // The selected tab of its window.
  bool front = false;   // Its window is the browser's front window.
  std::optional<BrowserProfile> profile;
  bool operator==(const BrowserTab&) const = default;

  // Returns the identity across snapshots: browser, tab ID (or the decimal
  // window ID when there is none) and address, joined by ":". The index is not
  // part of it, so moving a tab keeps its key.
  std::string key() const;
  // Tells whether reopening the address brings the tab back: blank pages and
  // http, https and file addresses (any case). False for unparsable addresses.
  bool restorable() const;
};

// JSON coding; optional fields are omitted when absent and `front` reads as
// false when absent. from_json throws nlohmann::json::exception when any other
// key is missing or mistyped.
void to_json(nlohmann::json& j, const BrowserTab& tab);
void from_json(const nlohmann::json& j, BrowserTab& tab);

}  // namespace kelvane

// Hashes field by field, consistently with ==.
template <>
struct std::hash<kelvane::BrowserProfile> {
  size_t operator()(const kelvane::BrowserProfile& profile) const noexcept;
};

// Hashes field by field, consistently with ==.
template <>
struct std::hash<kelvane::BrowserTab> {
  size_t operator()(const kelvane::BrowserTab& tab) const noexcept;
};
