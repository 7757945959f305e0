#pragma once
// What the live sources of this machine tell the sampler beside /proc: the X
// server's windows and desktops, and the browsers' tabs. Plain values; the
// sampler folds them into a Snapshot.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/model/browser_tab.h"
#include "core/model/browser_window.h"
#include "core/model/space_info.h"
#include "core/model/window_info.h"

namespace kelvane {

// One look at the X server.
struct DesktopView {
  std::vector<WindowInfo> windows;  // Front to back; axSeen when the window can be asked to close.
  std::optional<int32_t> frontPID;  // Owner of the active window, when it names one.
  std::optional<uint32_t> focusedWindow;         // The active window.
  std::optional<std::vector<SpaceInfo>> spaces;  // Desktops per output; absent when unknown.
  std::map<uint32_t, std::vector<int64_t>> windowSpaces;  // Window ID to its desktops' IDs.
  bool operator==(const DesktopView&) const = default;
};

// One look at the running browsers that can be read.
struct BrowserView {
  std::vector<BrowserTab> tabs;
  std::map<uint32_t, BrowserWindow> browserWindowOf;  // System window ID to browser window.
  std::vector<std::string> automationDenied;  // Running browsers whose tabs could not be read.
  bool operator==(const BrowserView&) const = default;
};

}  // namespace kelvane
