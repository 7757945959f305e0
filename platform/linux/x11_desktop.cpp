#include "platform/linux/x11_desktop.h"

#include <algorithm>
#include <set>
#include <thread>

#include <xcb/randr.h>

#include "platform/linux/x11_layout.h"
#include "platform/linux/x11_properties.h"

namespace kelvane::X11Desktop {
namespace {

using Failure = Unexpected<std::string>;

// A list longer than this is a window manager gone wrong; the rest is not read.
constexpr uint32_t kMaxWindows = 4096;

std::string unanswered(const X11Connection& x) {
  return x.broken() ? "lost the connection to the X server" : "the X server does not answer";
}

struct RawMonitor {
  xcb_atom_t name = XCB_NONE;
  bool primary = false;
  ScreenFrame frame;
  std::optional<xcb_randr_output_t> output;
};

// What the root window and RandR say, from the first round trip.
struct RootState {
  std::optional<uint32_t> wmCheck;
  std::vector<uint32_t> windows;  // Front to back.
  std::optional<uint32_t> active;
  std::optional<uint32_t> desktops;
  std::optional<uint32_t> current;
  std::vector<RawMonitor> monitors;
};

std::vector<RawMonitor> readMonitors(X11Connection& x, xcb_randr_get_monitors_cookie_t cookie) {
  std::vector<RawMonitor> monitors;
  auto* reply = xcb_randr_get_monitors_reply(x.raw(), cookie, nullptr);
  if (reply == nullptr) return monitors;
  for (auto it = xcb_randr_get_monitors_monitors_iterator(reply); it.rem > 0;
       xcb_randr_monitor_info_next(&it)) {
    const auto& m = *it.data;
    RawMonitor raw{.name = m.name,
                   .primary = m.primary != 0,
                   .frame = {double(m.x), double(m.y), double(m.width), double(m.height)}};
    if (xcb_randr_monitor_info_outputs_length(it.data) > 0)
      raw.output = xcb_randr_monitor_info_outputs(it.data)[0];
    monitors.push_back(raw);
  }
  ::free(reply);
  return monitors;
}

std::optional<RootState> readRoot(X11Connection& x) {
  auto& e = x.ewmh();
  const xcb_window_t root = x.root();
  const auto wmCheck = x.askProperty(root, e._NET_SUPPORTING_WM_CHECK);
  const auto stacking = x.askProperty(root, e._NET_CLIENT_LIST_STACKING, kMaxWindows * 4);
  const auto clients = x.askProperty(root, e._NET_CLIENT_LIST, kMaxWindows * 4);
  const auto active = x.askProperty(root, e._NET_ACTIVE_WINDOW);
  const auto desktops = x.askProperty(root, e._NET_NUMBER_OF_DESKTOPS);
  const auto current = x.askProperty(root, e._NET_CURRENT_DESKTOP);
  std::optional<xcb_randr_get_monitors_cookie_t> monitors;
  if (x.hasRandr()) {
    // The server answers RandR 1.5 requests only to clients that said they know them.
    xcb_discard_reply(x.raw(), xcb_randr_query_version(x.raw(), 1, 5).sequence);
    monitors = xcb_randr_get_monitors(x.raw(), root, 1);
  }
  if (!x.sync()) return std::nullopt;

  RootState state;
  const auto read = [&](xcb_get_property_cookie_t cookie) {
    return x.property(cookie).value_or(XProperty{});
  };
  state.wmCheck = X11Props::single(read(wmCheck));
  auto list = read(stacking).items32();
  const auto clientList = read(clients).items32();
  if (list.empty()) list = clientList;  // Managers without a stacking list: order unknown.
  // Stacking lists go bottom to top. A window listed twice (a manager gone
  // wrong, or a client writing the root) counts once, where it is frontmost.
  std::set<uint32_t> seen;
  for (auto it = list.rbegin(); it != list.rend(); ++it)
    if (seen.insert(*it).second) state.windows.push_back(*it);
  state.active = X11Props::single(read(active));
  state.desktops = X11Props::single(read(desktops));
  state.current = X11Props::single(read(current));
  if (monitors) state.monitors = readMonitors(x, *monitors);
  return state;
}

// The requests for one window's properties, frame and place.
struct WindowAsk {
  xcb_window_t id = XCB_NONE;
  xcb_get_property_cookie_t pid, netName, name, wmClass, machine, extents, desktop, type, protocols;
  xcb_get_geometry_cookie_t geometry;
  xcb_translate_coordinates_cookie_t origin;
};

WindowAsk askWindow(X11Connection& x, xcb_window_t id) {
  auto& e = x.ewmh();
  return {.id = id,
          .pid = x.askProperty(id, e._NET_WM_PID),
          .netName = x.askProperty(id, e._NET_WM_NAME),
          .name = x.askProperty(id, XCB_ATOM_WM_NAME),
          .wmClass = x.askProperty(id, XCB_ATOM_WM_CLASS, 512),
          .machine = x.askProperty(id, XCB_ATOM_WM_CLIENT_MACHINE, 256),
          .extents = x.askProperty(id, e._NET_FRAME_EXTENTS),
          .desktop = x.askProperty(id, e._NET_WM_DESKTOP),
          .type = x.askProperty(id, e._NET_WM_WINDOW_TYPE, 64),
          .protocols = x.askProperty(id, e.WM_PROTOCOLS, 64),
          .geometry = xcb_get_geometry(x.raw(), id),
          .origin = xcb_translate_coordinates(x.raw(), id, x.root(), 0, 0)};
}

// Whether a window of this type is a document or dialog a person may close, and
// not part of the desktop itself (panels, desktop icons, menus, pop-ups).
bool closable(X11Connection& x, const XProperty& type) {
  auto& e = x.ewmh();
  for (const uint32_t atom : type.items32()) {
    if (atom == e._NET_WM_WINDOW_TYPE_NORMAL || atom == e._NET_WM_WINDOW_TYPE_DIALOG ||
        atom == e._NET_WM_WINDOW_TYPE_UTILITY)
      return true;
    for (const xcb_atom_t skipped :
         {e._NET_WM_WINDOW_TYPE_DESKTOP, e._NET_WM_WINDOW_TYPE_DOCK, e._NET_WM_WINDOW_TYPE_TOOLBAR,
          e._NET_WM_WINDOW_TYPE_MENU, e._NET_WM_WINDOW_TYPE_SPLASH,
          e._NET_WM_WINDOW_TYPE_DROPDOWN_MENU, e._NET_WM_WINDOW_TYPE_POPUP_MENU,
          e._NET_WM_WINDOW_TYPE_TOOLTIP, e._NET_WM_WINDOW_TYPE_NOTIFICATION,
          e._NET_WM_WINDOW_TYPE_COMBO, e._NET_WM_WINDOW_TYPE_DND})
      if (atom == skipped) return false;
    // Types of later standards come first in the list; the next may be known.
  }
  return true;  // No type: a normal window, or a dialog when transient.
}

// One window as read; nullopt when it went away while it was read.
struct ReadWindow {
  WindowInfo info;
  bool closable = true;
  std::optional<uint32_t> desktop;
};

std::optional<ReadWindow> readWindow(X11Connection& x, const WindowAsk& ask,
                                     const std::string& host) {
  auto* geometry = xcb_get_geometry_reply(x.raw(), ask.geometry, nullptr);
  auto* origin = xcb_translate_coordinates_reply(x.raw(), ask.origin, nullptr);
  std::optional<XProperty> props[] = {
      x.property(ask.pid),     x.property(ask.netName), x.property(ask.name),
      x.property(ask.wmClass), x.property(ask.machine), x.property(ask.extents),
      x.property(ask.desktop), x.property(ask.type),    x.property(ask.protocols)};
  std::optional<ReadWindow> out;
  if (geometry != nullptr && origin != nullptr &&
      std::all_of(std::begin(props), std::end(props),
                  [](const auto& p) { return p.has_value(); })) {
    const auto& [pid, netName, name, wmClass, machine, extents, desktop, type, protocols] = props;
    std::string title = X11Props::text(*netName);
    if (title.empty()) title = X11Props::text(*name);
    const auto accepted = protocols->items32();
    out =
        ReadWindow{.info = {.id = ask.id,
                            .pid = X11Props::ownerPid(*pid, *machine, host).value_or(0),
                            .app = X11Props::wmClass(*wmClass),
                            .title = std::move(title),
                            .axSeen = std::find(accepted.begin(), accepted.end(),
                                                x.wmDeleteWindow()) != accepted.end(),
                            .frame = X11Props::frame(origin->dst_x, origin->dst_y, geometry->width,
                                                     geometry->height, *extents)},
                   .closable = closable(x, *type),
                   .desktop = X11Props::single(*desktop)};
  }
  ::free(geometry);
  ::free(origin);
  return out;
}

// The requests for one monitor's name and identity.
struct MonitorAsk {
  RawMonitor raw;
  xcb_get_atom_name_cookie_t name;
  std::optional<xcb_randr_get_output_property_cookie_t> edid;
};

MonitorAsk askMonitor(X11Connection& x, const RawMonitor& m) {
  MonitorAsk ask{.raw = m, .name = xcb_get_atom_name(x.raw(), m.name)};
  if (m.output)
    ask.edid =
        xcb_randr_get_output_property(x.raw(), *m.output, x.edid(), XCB_ATOM_ANY, 0, 64, 0, 0);
  return ask;
}

std::optional<std::string> readModel(X11Connection& x,
                                     xcb_randr_get_output_property_cookie_t cookie) {
  auto* reply = xcb_randr_get_output_property_reply(x.raw(), cookie, nullptr);
  if (reply == nullptr) return std::nullopt;
  auto model = X11Props::edidName(
      std::string_view(reinterpret_cast<const char*>(xcb_randr_get_output_property_data(reply)),
                       static_cast<size_t>(xcb_randr_get_output_property_data_length(reply))));
  ::free(reply);
  return model;
}

// Returns the monitors, primary first; the whole screen as "Main" without RandR.
std::vector<X11Layout::Monitor> readMonitors(X11Connection& x,
                                             const std::vector<MonitorAsk>& asks) {
  std::vector<X11Layout::Monitor> monitors;
  for (const auto& ask : asks) {
    std::string name = x.atomName(ask.name);
    if (name.empty()) name = "Monitor " + std::to_string(monitors.size() + 1);
    monitors.push_back({.name = std::move(name),
                        .model = ask.edid ? readModel(x, *ask.edid) : std::nullopt,
                        .frame = ask.raw.frame,
                        .primary = ask.raw.primary});
  }
  if (monitors.empty()) {
    const auto& s = x.screen();
    monitors.push_back({.name = "Main",
                        .frame = {0, 0, double(s.width_in_pixels), double(s.height_in_pixels)},
                        .primary = true});
  }
  return X11Layout::ordered(std::move(monitors));
}

// Adds the windows a person may close to the view, with the Spaces they are on.
void addWindows(X11Connection& x, const std::vector<WindowAsk>& asks, const RootState& root,
                const std::vector<X11Layout::Monitor>& monitors, DesktopView& view) {
  const std::string host = X11Props::thisHost();
  for (const auto& ask : asks) {
    auto window = readWindow(x, ask, host);
    if (!window || !window->closable) continue;
    if (window->desktop && root.desktops) {
      auto ids = X11Layout::windowSpaces(X11Layout::monitorOf(*window->info.frame, monitors),
                                         *window->desktop, *root.desktops);
      if (!ids.empty()) view.windowSpaces[window->info.id] = std::move(ids);
    }
    view.windows.push_back(std::move(window->info));
  }
}

// The second round trip: every window, the manager's own check window, the
// active window's owner, and the monitors' names and EDID.
Result<DesktopView, std::string> readDesktop(X11Connection& x, const RootState& root) {
  auto& e = x.ewmh();
  const auto wmSelf = x.askProperty(*root.wmCheck, e._NET_SUPPORTING_WM_CHECK);
  const xcb_window_t active = root.active.value_or(XCB_NONE);
  const auto activePid = x.askProperty(active, e._NET_WM_PID);
  const auto activeMachine = x.askProperty(active, XCB_ATOM_WM_CLIENT_MACHINE, 256);
  std::vector<WindowAsk> windowAsks;
  for (const uint32_t id : root.windows) windowAsks.push_back(askWindow(x, id));
  std::vector<MonitorAsk> monitorAsks;
  for (const auto& m : root.monitors) monitorAsks.push_back(askMonitor(x, m));
  if (!x.sync()) return Failure(unanswered(x));

  // A manager that died leaves its check window named on the root: it must
  // still exist and name itself.
  const auto self = x.property(wmSelf);
  if (!self || X11Props::single(*self) != root.wmCheck)
    return Failure("no window manager with EWMH desktops runs");

  const auto monitors = readMonitors(x, monitorAsks);
  DesktopView view;
  addWindows(x, windowAsks, root, monitors, view);
  if (active != XCB_NONE) {
    view.focusedWindow = active;
    const auto pid = x.property(activePid);
    const auto machine = x.property(activeMachine);
    if (pid && machine) view.frontPID = X11Props::ownerPid(*pid, *machine, X11Props::thisHost());
  }
  if (root.desktops.value_or(0) > 0)
    view.spaces = X11Layout::spaces(monitors, *root.desktops, root.current);
  return view;
}

}  // namespace

Result<DesktopView, std::string> look(X11Connection& x) {
  const auto root = readRoot(x);
  if (!root) return Failure(unanswered(x));
  if (!root->wmCheck || *root->wmCheck == XCB_NONE)
    return Failure("no window manager with EWMH desktops runs");
  return readDesktop(x, *root);
}

Result<DesktopView, std::string> look(std::optional<std::string> display) {
  auto x = X11Connection::open(std::move(display));
  if (!x) return Failure(x.error());
  return look(**x);
}

Result<std::vector<std::string>, std::string> desktopNames(X11Connection& x) {
  const auto count = x.askProperty(x.root(), x.ewmh()._NET_NUMBER_OF_DESKTOPS);
  const auto names = x.askProperty(x.root(), x.ewmh()._NET_DESKTOP_NAMES, 16384);
  if (!x.sync()) return Failure(unanswered(x));
  const auto n = X11Props::single(x.property(count).value_or(XProperty{}));
  if (!n) return Failure("the window manager has no desktops");
  return X11Props::desktopNames(x.property(names).value_or(XProperty{}),
                                std::min(*n, X11Layout::kMaxDesktops));
}

Result<void, std::string> switchTo(X11Connection& x, uint32_t desktop,
                                   std::chrono::milliseconds wait) {
  auto& e = x.ewmh();
  const auto count = x.askProperty(x.root(), e._NET_NUMBER_OF_DESKTOPS);
  if (!x.sync()) return Failure(unanswered(x));
  const auto n = X11Props::single(x.property(count).value_or(XProperty{}));
  if (!n || *n == 0) return Failure("the window manager has no desktops");
  if (desktop >= *n)
    return Failure("there is no desktop " + std::to_string(desktop + 1) + " (there are " +
                   std::to_string(*n) + ")");
  xcb_ewmh_request_change_current_desktop(&e, x.screenNumber(), desktop, XCB_CURRENT_TIME);
  const auto deadline = std::chrono::steady_clock::now() + wait;
  for (;;) {
    const auto current = x.askProperty(x.root(), e._NET_CURRENT_DESKTOP);
    if (!x.sync()) return Failure(unanswered(x));
    if (X11Props::single(x.property(current).value_or(XProperty{})) == desktop) return {};
    if (std::chrono::steady_clock::now() >= deadline)
      return Failure("the window manager did not switch to desktop " + std::to_string(desktop + 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

}  // namespace kelvane::X11Desktop
