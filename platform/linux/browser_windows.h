#pragma once
// BrowserWindows: which system window shows which of a browser's own windows.
// The endpoint knows its windows by the browser's IDs and bounds; the X server
// knows them by its IDs, titles and frames.
#include <cstdint>
#include <map>
#include <vector>

#include "core/model/browser_window.h"
#include "core/model/window_info.h"

namespace kelvane::BrowserWindows {

// Matches the system windows of process `pid` to the browser's windows, whose
// `name` is their active tab's title: a system window matches when its title
// is that name followed by " - " (the browser adds its own name); among several
// such, or with no title to go by, the one whose frame equals the window's
// bounds (after rounding). Ambiguous windows stay unmatched, and each system
// window is matched once at most. Returns system window ID to browser window.
std::map<uint32_t, BrowserWindow> match(const std::vector<BrowserWindow>& windows,
                                        const std::vector<WindowInfo>& system, int32_t pid);

}  // namespace kelvane::BrowserWindows
