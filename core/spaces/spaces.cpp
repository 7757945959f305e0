#include "core/spaces/spaces.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include <nlohmann/json.hpp>

#include "core/support/hashing.h"
#include "core/support/text.h"

namespace kelvane {
namespace Spaces {
namespace {

using WindowSpaces = std::map<uint32_t, std::vector<int64_t>>;

// The integer under `key` of a dictionary; nullopt when absent or not an integer.
std::optional<int64_t> integerAt(const nlohmann::json& object, const char* key) {
  if (!object.is_object()) return std::nullopt;
  const auto it = object.find(key);
  if (it == object.end() || !it->is_number_integer()) return std::nullopt;
  if (it->is_number_unsigned() &&
      it->get<uint64_t>() > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
    return std::nullopt;
  return it->get<int64_t>();
}

// The Spaces of one display dictionary, in order.
void parseDisplay(const nlohmann::json& display, const std::map<std::string, Screen>& screens,
                  std::vector<SpaceInfo>& out) {
  const auto idIt = display.find("Display Identifier");
  const std::string id =
      idIt != display.end() && idIt->is_string() ? idIt->get<std::string>() : "Main";
  const auto currentIt = display.find("Current Space");
  const auto current =
      currentIt != display.end() ? integerAt(*currentIt, "ManagedSpaceID") : std::nullopt;
  const auto screen = screens.find(id);
  const auto spacesIt = display.find("Spaces");
  if (spacesIt == display.end() || !spacesIt->is_array()) return;
  for (const auto& entry : *spacesIt) {
    const auto spaceID = integerAt(entry, "ManagedSpaceID");
    if (!spaceID) continue;
    SpaceInfo space{.id = *spaceID,
                    .display = id,
                    .type = integerAt(entry, "type").value_or(0),
                    .current = current == spaceID};
    if (screen != screens.end()) {
      space.displayName = screen->second.name;
      space.displayFrame = screen->second.frame;
    }
    out.push_back(std::move(space));
  }
}

bool finite(const ScreenFrame& f) {
  return std::isfinite(f.x) && std::isfinite(f.y) && std::isfinite(f.width) &&
         std::isfinite(f.height);
}

// One display as first met: its name (empty when unknown) and a usable frame.
struct Seen {
  std::string id;
  std::string name;
  std::optional<ScreenFrame> frame;
};

std::vector<Seen> distinctDisplays(const std::vector<SpaceInfo>& spaces) {
  std::vector<Seen> seen;
  for (const auto& space : spaces) {
    auto it = std::find_if(seen.begin(), seen.end(),
                           [&](const Seen& s) { return s.id == space.display; });
    if (it == seen.end()) it = seen.insert(seen.end(), Seen{space.display, "", std::nullopt});
    if (it->name.empty() && space.displayName) it->name = *space.displayName;
    if (!it->frame && space.displayFrame && finite(*space.displayFrame))
      it->frame = space.displayFrame;
  }
  // Left to right, then top to bottom; displays without a frame go last.
  std::stable_sort(seen.begin(), seen.end(), [](const Seen& a, const Seen& b) {
    if (!a.frame || !b.frame) return a.frame.has_value() && !b.frame.has_value();
    if (a.frame->x != b.frame->x) return a.frame->x < b.frame->x;
    return a.frame->y < b.frame->y;
  });
  return seen;
}

// Names the unnamed displays, then numbers the ones that share a name.
void nameDisplays(std::vector<Seen>& seen) {
  int unnamed = 0;
  for (auto& s : seen)
    if (s.name.empty()) s.name = "Display " + std::to_string(++unnamed);
  std::map<std::string, int> uses, numbered;
  for (const auto& s : seen) ++uses[s.name];
  for (auto& s : seen)
    if (uses[s.name] > 1) {
      const int n = ++numbered[s.name];
      s.name += " " + std::to_string(n);
    }
}

std::string rowLabel(const SpaceInfo& space, const std::vector<std::string>& apps, int& desktops) {
  if (space.type != 0) return apps.empty() ? "Full screen" : "Full screen · " + apps.front();
  return "Desktop " + std::to_string(++desktops);
}

SpaceRow makeRow(const SpaceInfo& space, const WindowSpaces& windowSpaces,
                 const std::vector<WindowInfo>& windows, int& desktops) {
  SpaceRow row{.id = space.id, .current = space.current, .display = space.display};
  for (const auto& window : windows) {
    const auto entry = windowSpaces.find(window.id);
    if (entry == windowSpaces.end() ||
        std::find(entry->second.begin(), entry->second.end(), space.id) == entry->second.end())
      continue;
    row.windowIDs.push_back(window.id);
    if (std::find(row.apps.begin(), row.apps.end(), window.app) == row.apps.end())
      row.apps.push_back(window.app);
  }
  row.windows = static_cast<int64_t>(row.windowIDs.size());
  row.empty = row.windowIDs.empty();
  row.label = rowLabel(space, row.apps, desktops);
  return row;
}

}  // namespace

std::vector<SpaceInfo> parse(const nlohmann::json& displays,
                             const std::map<std::string, Screen>& screens) {
  std::vector<SpaceInfo> out;
  if (!displays.is_array()) return out;
  for (const auto& display : displays)
    if (display.is_object()) parseDisplay(display, screens, out);
  return out;
}

std::vector<SpaceDisplay> displays(const std::vector<SpaceInfo>& spaces) {
  auto seen = distinctDisplays(spaces);
  nameDisplays(seen);
  std::vector<SpaceDisplay> out;
  out.reserve(seen.size());
  for (auto& s : seen) out.push_back({s.id, s.name, shortName(s.name)});
  return out;
}

std::string shortName(std::string_view name) {
  if (name.starts_with("Built-in")) return "Built-in";
  const size_t space = name.find(' ');
  if (space == std::string_view::npos || space == 0 || space + 1 == name.size())
    return std::string(name);
  const std::string maker = Text::asciiLowercased(name.substr(0, space));
  if (std::find(std::begin(makers), std::end(makers), maker) == std::end(makers))
    return std::string(name);
  return std::string(name.substr(space + 1));
}

std::vector<SpaceRow> rows(const std::vector<SpaceInfo>& spaces, const WindowSpaces& windowSpaces,
                           const std::vector<WindowInfo>& windows) {
  std::vector<SpaceRow> out;
  for (const auto& display : displays(spaces)) {
    int desktops = 0;
    for (const auto& space : spaces)
      if (space.display == display.id)
        out.push_back(makeRow(space, windowSpaces, windows, desktops));
  }
  return out;
}

std::map<uint32_t, WindowSpaceLabel> windowLabels(const std::vector<SpaceRow>& rows,
                                                  const std::vector<SpaceDisplay>& displays,
                                                  const WindowSpaces& windowSpaces) {
  std::map<int64_t, WindowSpaceLabel> bySpace;
  for (const auto& row : rows) {
    WindowSpaceLabel label{row.label, row.label};
    const auto display = std::find_if(displays.begin(), displays.end(),
                                      [&](const SpaceDisplay& d) { return d.id == row.display; });
    if (displays.size() >= 2 && display != displays.end()) {
      label.shortText += " · " + display->shortName;
      label.full += " · " + display->name;
    }
    bySpace.emplace(row.id, std::move(label));
  }
  std::map<uint32_t, WindowSpaceLabel> out;
  for (const auto& [window, spaceIDs] : windowSpaces) {
    if (spaceIDs.size() > 1) {
      out[window] = {"All Spaces", "All Spaces"};
    } else if (spaceIDs.size() == 1) {
      if (const auto it = bySpace.find(spaceIDs.front()); it != bySpace.end())
        out[window] = it->second;
    }
  }
  return out;
}

std::vector<uint32_t> ownWindows(const SpaceRow& row, const WindowSpaces& windowSpaces) {
  std::vector<uint32_t> own;
  for (const uint32_t window : row.windowIDs) {
    const auto entry = windowSpaces.find(window);
    if (entry != windowSpaces.end() && entry->second == std::vector<int64_t>{row.id})
      own.push_back(window);
  }
  return own;
}

SpaceAction action(const SpaceRow& row, const WindowSpaces& windowSpaces,
                   const std::map<uint32_t, Date>& focused) {
  if (row.current) return SpaceAction::shown();
  const auto own = ownWindows(row, windowSpaces);
  if (own.empty()) return SpaceAction::missionControl();
  const auto lastFocused = [&](uint32_t window) {
    const auto it = focused.find(window);
    return it == focused.end() ? Date::distantPast() : it->second;
  };
  uint32_t best = own.front();
  for (const uint32_t window : own)
    if (lastFocused(window) > lastFocused(best)) best = window;
  return SpaceAction::goTo(best);
}

}  // namespace Spaces
}  // namespace kelvane

size_t std::hash<kelvane::SpaceRow>::operator()(const kelvane::SpaceRow& row) const noexcept {
  return kelvane::hashValues(row.id, row.label, row.current, row.windows, row.windowIDs, row.apps,
                             row.empty, row.display);
}

size_t std::hash<kelvane::SpaceDisplay>::operator()(
    const kelvane::SpaceDisplay& display) const noexcept {
  return kelvane::hashValues(display.id, display.name, display.shortName);
}

size_t std::hash<kelvane::WindowSpaceLabel>::operator()(
    const kelvane::WindowSpaceLabel& label) const noexcept {
  return kelvane::hashValues(label.shortText, label.full);
}
