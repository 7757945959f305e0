#pragma once
// X11Desktop: what the X server and its EWMH window manager show (the managed
// windows front to back, the active window, the desktops on each monitor), and
// switching desktops. Each call is a couple of batched round trips, each under
// the connection's time-out; a view is whole or unknown, never partial.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/support/result.h"
#include "platform/linux/desktop_view.h"
#include "platform/linux/x11_connection.h"

namespace kelvane::X11Desktop {

// Takes one look at the desktop: the windows of _NET_CLIENT_LIST_STACKING front
// to back (docks, desktops, menus and notifications left out), each with its
// process (0 when it names none, or names one on another machine), title,
// class, frame with the window manager's decoration, and axSeen when it takes
// WM_DELETE_WINDOW; the active window and its process; desktops as Spaces per
// monitor (see x11_layout.h for their IDs) and each window's Spaces. Fails with
// a reason when no EWMH window manager runs (a window list without one would
// call every program windowless), or when the server breaks or stops answering.
Result<DesktopView, std::string> look(X11Connection& x);
// The same on a connection of its own to `display` (DISPLAY when absent).
Result<DesktopView, std::string> look(std::optional<std::string> display = std::nullopt);

// Returns the names of the desktops, one per desktop ("" for an unnamed one).
Result<std::vector<std::string>, std::string> desktopNames(X11Connection& x);

// Asks the window manager to show `desktop` (counted from 0) and waits up to
// `wait` until it does. Fails with a reason for a desktop that does not exist, a
// window manager without desktops, or one that did not switch in time.
Result<void, std::string> switchTo(X11Connection& x, uint32_t desktop,
                                   std::chrono::milliseconds wait = std::chrono::seconds(2));

}  // namespace kelvane::X11Desktop
