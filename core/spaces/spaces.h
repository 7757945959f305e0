#pragma once
// Spaces: the desktops and full-screen Spaces of each display as the Spaces
// view shows them — rows with their windows, the displays, a label per window
// saying where it lives, and what clicking a row does. Pure functions.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/model/screen_frame.h"
#include "core/model/space_info.h"
#include "core/model/window_info.h"
#include "core/support/date.h"

namespace kelvane {

// One Space as a row of the view.
struct SpaceRow {
  int64_t id = 0;     // The Space ID.
  std::string label;  // "Desktop 2", "Full screen · Editor".
  bool current = false;
  int64_t windows = 0;  // Number of windows on it.
  std::vector<uint32_t> windowIDs;
  std::vector<std::string> apps;  // Application names, in order of first appearance.
  bool empty = true;              // No windows.
  std::string display;            // Display identifier.
  bool operator==(const SpaceRow&) const = default;
};

// One display, with a name unique among the displays.
struct SpaceDisplay {
  std::string id;         // Display identifier.
  std::string name;       // "DELL U2720Q", "Built-in Retina Display", "Display 1".
  std::string shortName;  // Stands for `short`: the name without its maker ("U2720Q").
  bool operator==(const SpaceDisplay&) const = default;
};

// Where a window lives, short for badges and full for tooltips.
struct WindowSpaceLabel {
  std::string shortText;  // Stands for `short`: "Desktop 2 · U2720Q".
  std::string full;       // "Desktop 2 · DELL U2720Q".
  bool operator==(const WindowSpaceLabel&) const = default;
};

// What clicking a row does: bring one of its windows forward, nothing (the
// Space is already shown), or open Mission Control.
struct SpaceAction {
  enum class Kind { goTo, shown, missionControl };
  Kind kind = Kind::shown;
  uint32_t window = 0;  // The window to bring forward; 0 unless kind is goTo.
  bool operator==(const SpaceAction&) const = default;

  static SpaceAction goTo(uint32_t window) { return {Kind::goTo, window}; }
  static SpaceAction shown() { return {Kind::shown, 0}; }
  static SpaceAction missionControl() { return {Kind::missionControl, 0}; }
};

namespace Spaces {

// A screen the producer knows, by display identifier.
struct Screen {
  std::string name;
  ScreenFrame frame;
  bool operator==(const Screen&) const = default;
};

// Display makers whose name is dropped from a display's short name.
inline constexpr std::string_view makers[] = {
    "dell", "lg",        "asus",    "samsung", "benq",   "hp",       "acer",
    "aoc",  "viewsonic", "philips", "msi",     "lenovo", "gigabyte", "eizo",
    "sony", "huawei",    "xiaomi",  "sceptre", "planar"};

// Turns the system's per-display Space description (a list of display
// dictionaries) into Spaces, display by display. A display without an
// identifier is "Main"; Spaces without an integer ID are skipped; anything
// that is not a list or a dictionary where one belongs counts as empty.
std::vector<SpaceInfo> parse(const nlohmann::json& displays,
                             const std::map<std::string, Screen>& screens);

// Returns the distinct displays, left to right by frame then top to bottom
// (displays without a frame last, in order of appearance). Unnamed displays
// are "Display 1", "Display 2", ... in that order; displays sharing a name get
// " 1", " 2", ... appended in that order.
std::vector<SpaceDisplay> displays(const std::vector<SpaceInfo>& spaces);

// Returns "Built-in" for built-in displays, the model for "<maker> <model>"
// names, else the name unchanged.
std::string shortName(std::string_view name);

// Returns one row per Space, grouped by display in display order. Desktops are
// numbered per display from 1 (full-screen Spaces take no number).
std::vector<SpaceRow> rows(const std::vector<SpaceInfo>& spaces,
                           const std::map<uint32_t, std::vector<int64_t>>& windowSpaces,
                           const std::vector<WindowInfo>& windows);

// Returns the label of every window of `windowSpaces`: "All Spaces" for one
// on several Spaces, its Space's label (with the display's name when there
// are two or more displays) for one on a known Space; none for the rest.
std::map<uint32_t, WindowSpaceLabel> windowLabels(
    const std::vector<SpaceRow>& rows, const std::vector<SpaceDisplay>& displays,
    const std::map<uint32_t, std::vector<int64_t>>& windowSpaces);

// Returns the row's windows, in order, that are on this Space alone.
std::vector<uint32_t> ownWindows(const SpaceRow& row,
                                 const std::map<uint32_t, std::vector<int64_t>>& windowSpaces);

// Returns shown for the current Space, Mission Control when the row has no
// window of its own, else going to its most recently focused own window (the
// earlier one on a tie; never-focused windows count as the distant past).
SpaceAction action(const SpaceRow& row,
                   const std::map<uint32_t, std::vector<int64_t>>& windowSpaces,
                   const std::map<uint32_t, Date>& focused);

}  // namespace Spaces
}  // namespace kelvane

template <>
struct std::hash<kelvane::SpaceRow> {
  size_t operator()(const kelvane::SpaceRow& row) const noexcept;
};
template <>
struct std::hash<kelvane::SpaceDisplay> {
  size_t operator()(const kelvane::SpaceDisplay& display) const noexcept;
};
template <>
struct std::hash<kelvane::WindowSpaceLabel> {
  size_t operator()(const kelvane::WindowSpaceLabel& label) const noexcept;
};
