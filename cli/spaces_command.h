#pragma once
// `kelvane spaces`: the desktops of each display with their windows, and a label
// for each window saying where it lives; `kelvane spaces go N` shows desktop N.
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/spaces/spaces.h"
#include "platform/linux/desktop_view.h"

namespace kelvane::cli {

// What the Spaces view shows of one look at the desktop.
struct SpacesReport {
  std::vector<SpaceDisplay> displays;
  std::vector<SpaceRow> rows;
  std::map<uint32_t, WindowSpaceLabel> labels;  // By window ID.
  std::vector<WindowInfo> windows;              // Front to back.
  std::vector<std::string> names;               // The desktops' own names, by number.
};

// Builds the report; a view without desktops gives no rows.
SpacesReport spacesReport(const DesktopView& view, std::vector<std::string> desktopNames);

// Prints a table of desktops per display (the current one marked) and a table of
// windows with their labels.
void printSpaces(const SpacesReport& report, std::ostream& out);

// Returns {"displays", "spaces", "windows"} for --json.
nlohmann::json spacesJson(const SpacesReport& report);

}  // namespace kelvane::cli
