#include "platform/linux/x11_focus_watcher.h"

#include <algorithm>
#include <poll.h>

#include <xcb/screensaver.h>

#include "platform/linux/x11_properties.h"

namespace kelvane {
namespace {

using Failure = Unexpected<std::string>;

}  // namespace

Result<std::unique_ptr<X11FocusWatcher>, std::string> X11FocusWatcher::start(
    std::optional<std::string> display, Callback onChange, Options options) {
  auto x = X11Connection::open(std::move(display), options.roundTrip);
  if (!x) return Failure(x.error());
  X11Connection& c = **x;
  const uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
  xcb_change_window_attributes(c.raw(), c.root(), XCB_CW_EVENT_MASK, &mask);
  const auto supported = c.askProperty(c.root(), c.ewmh()._NET_SUPPORTED, 16384);
  if (!c.sync()) return Failure("the X server does not answer");
  const auto atoms = c.property(supported).value_or(XProperty{}).items32();
  if (std::find(atoms.begin(), atoms.end(), c.ewmh()._NET_ACTIVE_WINDOW) == atoms.end())
    return Failure("no window manager names the active window");
  std::unique_ptr<X11FocusWatcher> watcher(
      new X11FocusWatcher(std::move(x.value()), std::move(onChange), options));
  const auto now = watcher->read();
  if (!now) return Failure("the X server does not answer");
  watcher->reported_ = now->window;
  return watcher;
}

X11FocusWatcher::X11FocusWatcher(std::unique_ptr<X11Connection> x, Callback onChange,
                                 Options options)
    : x_(std::move(x)),
      onChange_(std::move(onChange)),
      options_(options),
      host_(X11Props::thisHost()) {}

bool X11FocusWatcher::dispatch() {
  // Every event read from the socket must be handled before returning: the
  // descriptor does not signal events that already sit in xcb's queue, and
  // the round trips of read() take in more of them.
  for (;;) {
    bool changed = false;
    while (xcb_generic_event_t* event = xcb_poll_for_event(x_->raw())) {
      if ((event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY) {
        const auto* notify = reinterpret_cast<const xcb_property_notify_event_t*>(event);
        changed |= notify->window == x_->root() && notify->atom == x_->ewmh()._NET_ACTIVE_WINDOW;
      }
      ::free(event);
    }
    if (!changed) return x_->healthy();
    const auto note = read();
    if (!note) return false;
    if (note->window != reported_) {
      reported_ = note->window;
      onChange_(*note);
    }
  }
}

bool X11FocusWatcher::waitAndDispatch(std::chrono::milliseconds timeout) {
  pollfd p{.fd = fd(), .events = POLLIN, .revents = 0};
  ::poll(&p, 1, static_cast<int>(timeout.count()));
  return dispatch();
}

std::optional<FocusNote> X11FocusWatcher::current() {
  auto note = read();
  if (!note || !dispatch()) return std::nullopt;
  return note;
}

std::optional<FocusNote> X11FocusWatcher::read() {
  X11Connection& x = *x_;
  const auto activeAsk = x.askProperty(x.root(), x.ewmh()._NET_ACTIVE_WINDOW);
  if (!x.sync()) return std::nullopt;
  FocusNote note;
  note.window = X11Props::single(x.property(activeAsk).value_or(XProperty{}));
  if (note.window == XCB_NONE) note.window.reset();
  const xcb_window_t window = note.window.value_or(XCB_NONE);
  const auto pid = x.askProperty(window, x.ewmh()._NET_WM_PID);
  const auto machine = x.askProperty(window, XCB_ATOM_WM_CLIENT_MACHINE, 256);
  std::optional<xcb_screensaver_query_info_cookie_t> idle;
  if (x.hasScreensaver()) idle = xcb_screensaver_query_info(x.raw(), x.root());
  if (!x.sync()) return std::nullopt;
  const auto pidValue = x.property(pid);
  const auto machineValue = x.property(machine);
  if (pidValue && machineValue) note.pid = X11Props::ownerPid(*pidValue, *machineValue, host_);
  note.active = true;
  if (idle) {
    if (auto* info = xcb_screensaver_query_info_reply(x.raw(), *idle, nullptr)) {
      note.active = std::chrono::milliseconds(info->ms_since_user_input) < options_.idleThreshold;
      ::free(info);
    }
  }
  return note;
}

}  // namespace kelvane
