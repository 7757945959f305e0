#pragma once
// X11Layout: turns the X server's monitors and the window manager's desktops
// into Spaces. EWMH desktops span the whole screen, so every monitor shows the
// same desktop; each monitor gets a Space per desktop, as separate displays do.
//
// Space IDs: the desktop's number counted from 1, plus 1000 times the
// monitor's place (the primary monitor first, then the server's order). So on
// the primary monitor desktop 0 is Space 1 and desktop 3 is Space 4; on the
// second monitor they are 1001 and 1004. IDs stay the same while the monitors
// and the number of desktops do.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/model/screen_frame.h"
#include "core/model/space_info.h"

namespace kelvane::X11Layout {

// More desktops than this are not believed; the rest are left out.
inline constexpr uint32_t kMaxDesktops = 999;
// _NET_WM_DESKTOP of a window shown on every desktop.
inline constexpr uint32_t kAllDesktops = 0xFFFFFFFF;

// One monitor (a RandR monitor, or the whole screen without RandR).
struct Monitor {
  std::string name;                  // RandR's name ("DP-1"); "Main" without RandR.
  std::optional<std::string> model;  // From the EDID, when the monitor gives one.
  ScreenFrame frame;
  bool primary = false;
  bool operator==(const Monitor&) const = default;
};

// Returns the monitors with the primary one first, others in the given order.
std::vector<Monitor> ordered(std::vector<Monitor> monitors);

// Returns the Space ID of `desktop` on the monitor at `monitorIndex`.
int64_t spaceID(size_t monitorIndex, uint32_t desktop);
// Returns the desktop a Space ID stands for, nullopt when it stands for none.
std::optional<uint32_t> desktopOf(int64_t spaceID);

// Returns one Space per desktop per monitor (monitors as given, already
// ordered), `current` on the current desktop of every monitor. A count past
// kMaxDesktops is cut to it.
std::vector<SpaceInfo> spaces(const std::vector<Monitor>& monitors, uint32_t desktops,
                              std::optional<uint32_t> current);

// Returns the index of the monitor a window belongs to: the one holding the
// centre of its frame, else the one it overlaps most, else the first.
size_t monitorOf(const ScreenFrame& frame, const std::vector<Monitor>& monitors);

// Returns the Spaces a window is on: its desktop on its monitor, every desktop
// of its monitor for kAllDesktops, none for a desktop that does not exist.
std::vector<int64_t> windowSpaces(size_t monitorIndex, uint32_t windowDesktop, uint32_t desktops);

}  // namespace kelvane::X11Layout
