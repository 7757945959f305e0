#include "platform/linux/x11_connection.h"

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <stdlib.h>
#include <thread>

#include <xcb/randr.h>
#include <xcb/screensaver.h>
#include <xcb/xcbext.h>

namespace kelvane {
namespace {

using Clock = std::chrono::steady_clock;

// The outcome of an xcb_connect that runs on a thread of its own.
struct PendingConnect {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  bool abandoned = false;
  xcb_connection_t* c = nullptr;
  int screen = 0;
};

// Connections that were given up on while xcb_connect still waits for its server.
std::atomic<int> stuckConnects{0};
// A server that stays hung would otherwise collect one blocked thread per attempt.
constexpr int kMaxStuckConnects = 4;

// xcb_connect has no time-out: a server that accepts the socket but never
// answers (a stopped process) would block it for good. It runs on a detached
// thread; a caller that stops waiting leaves it to disconnect whatever it gets.
xcb_connection_t* connectWithin(const std::string& display, std::chrono::milliseconds timeout,
                                int& screen) {
  if (stuckConnects.load() >= kMaxStuckConnects) return nullptr;
  auto pending = std::make_shared<PendingConnect>();
  std::thread([pending, display] {
    int number = 0;
    xcb_connection_t* c = xcb_connect(display.c_str(), &number);
    std::lock_guard lock(pending->mutex);
    if (pending->abandoned) {
      xcb_disconnect(c);
      --stuckConnects;
      return;
    }
    pending->c = c;
    pending->screen = number;
    pending->done = true;
    pending->cv.notify_all();
  }).detach();
  std::unique_lock lock(pending->mutex);
  if (!pending->cv.wait_for(lock, timeout, [&] { return pending->done; })) {
    pending->abandoned = true;
    ++stuckConnects;
    return nullptr;
  }
  screen = pending->screen;
  return pending->c;
}

const xcb_screen_t* screenOf(xcb_connection_t* c, int number) {
  auto it = xcb_setup_roots_iterator(xcb_get_setup(c));
  for (; it.rem > 0; --number, xcb_screen_next(&it))
    if (number == 0) return it.data;
  return nullptr;
}

}  // namespace

std::vector<uint32_t> XProperty::items32() const {
  std::vector<uint32_t> items;
  if (format != 32 || bytes.size() < 4) return items;
  items.resize(bytes.size() / 4);
  std::memcpy(items.data(), bytes.data(), items.size() * 4);
  return items;
}

Result<std::unique_ptr<X11Connection>, std::string> X11Connection::open(
    std::optional<std::string> display, std::chrono::milliseconds timeout) {
  using Failure = Unexpected<std::string>;
  if (!display) {
    const char* env = ::getenv("DISPLAY");
    if (env == nullptr || *env == '\0') return Failure("no display (DISPLAY is not set)");
    // XWayland shows the X clients of a Wayland session and none of its native
    // windows: a window list from it would call running programs windowless.
    const char* wayland = ::getenv("WAYLAND_DISPLAY");
    if (wayland != nullptr && *wayland != '\0')
      return Failure("a Wayland session: its X server shows only some of the windows");
    display = env;
  }
  if (display->empty()) return Failure("no display given");
  int screen = 0;
  xcb_connection_t* c = connectWithin(*display, timeout, screen);
  if (c == nullptr) return Failure("the X server at " + *display + " does not answer");
  if (xcb_connection_has_error(c) != 0) {
    xcb_disconnect(c);
    return Failure("cannot connect to the X server at " + *display);
  }
  std::unique_ptr<X11Connection> connection(new X11Connection(c, screen, timeout));
  if (connection->screen_ == nullptr) return Failure("the X server has no screen " + *display);
  if (!connection->init()) return Failure("the X server at " + *display + " does not answer");
  return connection;
}

X11Connection::X11Connection(xcb_connection_t* c, int screenNumber,
                             std::chrono::milliseconds roundTrip)
    : c_(c),
      screenNumber_(screenNumber),
      roundTrip_(roundTrip),
      screen_(screenOf(c, screenNumber)) {}

X11Connection::~X11Connection() {
  if (ewmhReady_) xcb_ewmh_connection_wipe(&ewmh_);
  xcb_disconnect(c_);
}

// Interns the EWMH atoms and our own, and asks for the extensions, in one round trip.
bool X11Connection::init() {
  xcb_intern_atom_cookie_t* ewmhCookies = xcb_ewmh_init_atoms(c_, &ewmh_);
  if (ewmhCookies == nullptr) return false;  // A server without screens.
  const auto deleteCookie = xcb_intern_atom(c_, 0, 16, "WM_DELETE_WINDOW");
  const auto edidCookie = xcb_intern_atom(c_, 0, 4, "EDID");
  xcb_prefetch_extension_data(c_, &xcb_randr_id);
  xcb_prefetch_extension_data(c_, &xcb_screensaver_id);
  if (!sync()) {
    // Replies that never came are freed with the connection; the atom tables
    // xcb_ewmh_init_atoms allocated are ours to free.
    ::free(ewmhCookies);
    xcb_ewmh_connection_wipe(&ewmh_);
    return false;
  }
  // Frees the cookies, and the atom tables when it fails.
  ewmhReady_ = xcb_ewmh_init_atoms_replies(&ewmh_, ewmhCookies, nullptr) != 0;
  for (auto [cookie, atom] : {std::pair{deleteCookie, &wmDeleteWindow_}, {edidCookie, &edid_}}) {
    if (auto* reply = xcb_intern_atom_reply(c_, cookie, nullptr)) {
      *atom = reply->atom;
      ::free(reply);
    }
  }
  const auto* randr = xcb_get_extension_data(c_, &xcb_randr_id);
  hasRandr_ = randr != nullptr && randr->present;
  const auto* saver = xcb_get_extension_data(c_, &xcb_screensaver_id);
  hasScreensaver_ = saver != nullptr && saver->present;
  return ewmhReady_ && wmDeleteWindow_ != XCB_NONE;
}

bool X11Connection::sync() {
  if (!healthy()) return false;
  const auto deadline = Clock::now() + roundTrip_;
  const auto cookie = xcb_get_input_focus(c_);
  xcb_flush(c_);
  for (;;) {
    void* reply = nullptr;
    xcb_generic_error_t* error = nullptr;
    // Replies come in request order, so once this one is here, so are all before it.
    if (xcb_poll_for_reply(c_, cookie.sequence, &reply, &error) != 0) {
      const bool answered = reply != nullptr;
      ::free(reply);
      ::free(error);
      return answered && healthy();
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) break;
    pollfd p{.fd = fd(), .events = POLLIN, .revents = 0};
    ::poll(&p, 1, static_cast<int>(left));
  }
  spent_ = true;
  return false;
}

xcb_get_property_cookie_t X11Connection::askProperty(xcb_window_t window, xcb_atom_t property,
                                                     uint32_t maxBytes) {
  return xcb_get_property(c_, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0,
                          (maxBytes + 3) / 4);
}

std::optional<XProperty> X11Connection::property(xcb_get_property_cookie_t cookie) {
  xcb_generic_error_t* error = nullptr;
  xcb_get_property_reply_t* reply = xcb_get_property_reply(c_, cookie, &error);
  if (reply == nullptr) {
    ::free(error);
    return std::nullopt;
  }
  XProperty value{.type = reply->type, .format = reply->format};
  const int length = xcb_get_property_value_length(reply);
  if (length > 0)
    value.bytes.assign(static_cast<const char*>(xcb_get_property_value(reply)),
                       static_cast<size_t>(length));
  ::free(reply);
  return value;
}

std::string X11Connection::atomName(xcb_get_atom_name_cookie_t cookie) {
  xcb_get_atom_name_reply_t* reply = xcb_get_atom_name_reply(c_, cookie, nullptr);
  if (reply == nullptr) return {};
  std::string name(xcb_get_atom_name_name(reply),
                   static_cast<size_t>(xcb_get_atom_name_name_length(reply)));
  ::free(reply);
  return name;
}

}  // namespace kelvane
