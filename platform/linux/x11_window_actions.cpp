#include "platform/linux/x11_window_actions.h"

#include <algorithm>
#include <set>
#include <thread>
#include <vector>

#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_desktop.h"

namespace kelvane {
namespace {

using Clock = std::chrono::steady_clock;

// Whether the window manager takes _NET_CLOSE_WINDOW; nullopt when the server
// does not answer.
std::optional<bool> managerCloses(X11Connection& x) {
  const auto cookie = x.askProperty(x.root(), x.ewmh()._NET_SUPPORTED, 16384);
  if (!x.sync()) return std::nullopt;
  const auto supported = x.property(cookie).value_or(XProperty{}).items32();
  return std::find(supported.begin(), supported.end(), x.ewmh()._NET_CLOSE_WINDOW) !=
         supported.end();
}

// Asks a window to close: through the window manager when it offers that (it
// may ping the client and track the request), else with WM_DELETE_WINDOW.
void requestClose(X11Connection& x, xcb_window_t window, bool throughManager) {
  if (throughManager) {
    xcb_ewmh_request_close_window(&x.ewmh(), x.screenNumber(), window, XCB_CURRENT_TIME,
                                  XCB_EWMH_CLIENT_SOURCE_TYPE_OTHER);
    return;
  }
  xcb_client_message_event_t event{};
  event.response_type = XCB_CLIENT_MESSAGE;
  event.format = 32;
  event.window = window;
  event.type = x.ewmh().WM_PROTOCOLS;
  event.data.data32[0] = x.wmDeleteWindow();
  event.data.data32[1] = XCB_CURRENT_TIME;
  xcb_send_event(x.raw(), 0, window, XCB_EVENT_MASK_NO_EVENT,
                 reinterpret_cast<const char*>(&event));
}

// Returns the windows among `windows` that are still open: existing and, when
// the manager lists its clients, listed (a window that hides itself is closed as
// far as the person can tell). Openbox updates its two lists at different
// moments, so a window in either counts. nullopt when the server does not answer.
std::optional<std::vector<uint32_t>> stillOpen(X11Connection& x,
                                               const std::vector<uint32_t>& windows) {
  const auto clients = x.askProperty(x.root(), x.ewmh()._NET_CLIENT_LIST, 65536);
  const auto stacking = x.askProperty(x.root(), x.ewmh()._NET_CLIENT_LIST_STACKING, 65536);
  std::vector<xcb_get_window_attributes_cookie_t> asks;
  for (const uint32_t id : windows) asks.push_back(xcb_get_window_attributes(x.raw(), id));
  if (!x.sync()) return std::nullopt;
  std::set<uint32_t> listed;
  for (const auto cookie : {clients, stacking}) {
    const auto list = x.property(cookie).value_or(XProperty{}).items32();
    listed.insert(list.begin(), list.end());
  }
  std::vector<uint32_t> open;
  for (size_t i = 0; i < windows.size(); ++i) {
    auto* reply = xcb_get_window_attributes_reply(x.raw(), asks[i], nullptr);
    if (reply != nullptr && (listed.empty() || listed.contains(windows[i])))
      open.push_back(windows[i]);
    ::free(reply);
  }
  return open;
}

// Asks each window to close and waits until all are gone or `wait` passed.
// Returns the windows still open, nullopt when the server stopped answering.
std::optional<std::vector<uint32_t>> closeAll(X11Connection& x,
                                              const std::vector<uint32_t>& windows,
                                              std::chrono::milliseconds wait) {
  const auto throughManager = managerCloses(x);
  if (!throughManager) return std::nullopt;
  for (const uint32_t id : windows) requestClose(x, id, *throughManager);
  const auto deadline = Clock::now() + wait;
  std::vector<uint32_t> open = windows;
  for (;;) {
    auto left = stillOpen(x, open);
    if (!left) return std::nullopt;
    open = std::move(*left);
    if (open.empty() || Clock::now() >= deadline) return open;
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
}

std::string stayedOpen(size_t open, size_t asked) {
  if (asked == 1) return "the window is still open (it may be asking to save changes)";
  return std::to_string(open) + " of " + std::to_string(asked) +
         " windows are still open (they may be asking to save changes)";
}

}  // namespace

X11WindowActions::X11WindowActions(std::optional<std::string> display, StopFunction stop,
                                   Timing timing)
    : display_(std::move(display)), stop_(std::move(stop)), timing_(timing) {}

Outcome X11WindowActions::closeWindow(const Action& action) const {
  if (!action.windowID) return Outcome::failed("no window given");
  auto x = X11Connection::open(display_, timing_.roundTrip);
  if (!x) return Outcome::failed("cannot reach the X server: " + x.error());
  const auto view = X11Desktop::look(**x);
  if (!view) return Outcome::failed("cannot read the windows: " + view.error());
  const auto& windows = view->windows;
  const auto window = std::find_if(windows.begin(), windows.end(),
                                   [&](const WindowInfo& w) { return w.id == *action.windowID; });
  if (window == windows.end()) return Outcome::skipped("the window is already closed");
  // Window IDs are reused once their client is gone: the process must match.
  if (window->pid != action.pid) return Outcome::skipped("the window belongs to another process");
  if (!window->axSeen) return Outcome::skipped("the window cannot be asked to close");
  const auto open = closeAll(**x, {window->id}, timing_.closeWait);
  if (!open) return Outcome::failed("lost the X server while closing the window");
  if (!open->empty()) return Outcome::needsYou(stayedOpen(open->size(), 1));
  return Outcome::done();
}

Outcome X11WindowActions::quitApp(const Action& action) const {
  if (action.pid <= 0) return Outcome::failed("no process given");
  auto x = X11Connection::open(display_, timing_.roundTrip);
  if (!x) return Outcome::failed("cannot reach the X server to close its windows: " + x.error());
  const auto view = X11Desktop::look(**x);
  if (!view) return Outcome::failed("cannot read its windows: " + view.error());
  std::vector<uint32_t> windows;
  for (const auto& w : view->windows) {
    if (w.pid != action.pid) continue;
    // Ending the process would lose whatever that window holds.
    if (!w.axSeen) return Outcome::needsYou("a window of it cannot be asked to close");
    windows.push_back(w.id);
  }
  if (!windows.empty()) {
    const auto open = closeAll(**x, windows, timing_.closeWait);
    if (!open) return Outcome::failed("lost the X server while closing its windows");
    if (!open->empty()) return Outcome::needsYou(stayedOpen(open->size(), windows.size()));
  }
  if (!stop_) return Outcome::failed("no way to end the process");
  return stop_(action);
}

}  // namespace kelvane
