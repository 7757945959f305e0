#pragma once
// X11Connection: one connection to an X server with the EWMH atoms interned,
// and the only way this code waits for the server: a round trip with a time-out.
// Requests are sent in batches, then one sync() waits for all their answers at
// once, so a server that stops answering costs one time-out and never a hang.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <xcb/xcb.h>
#include <xcb/xcb_ewmh.h>

#include "core/support/result.h"

namespace kelvane {

// The value of one window property as the server keeps it.
struct XProperty {
  xcb_atom_t type = XCB_NONE;  // XCB_NONE when the window has no such property.
  uint8_t format = 0;          // 8, 16 or 32 bits per item.
  std::string bytes;           // The items as sent, in this machine's byte order.

  // Returns the items of a 32-bit property (cardinals, windows, atoms); empty for
  // any other format.
  std::vector<uint32_t> items32() const;
};

// How long one round trip may take before the server counts as gone.
inline constexpr std::chrono::milliseconds kXRoundTrip{2000};

// Owns one connection. Not thread-safe: one thread at a time. After a round trip
// times out, the connection is spent and every later sync() fails at once.
class X11Connection final {
 public:
  // Connects to `display` (DISPLAY when absent) within `timeout`, which also
  // bounds every later round trip. Fails with a
  // reason when no display is named, when a Wayland session gives no display of
  // its own (a Wayland session's X server shows only some windows), when the
  // server refuses or does not answer in time.
  static Result<std::unique_ptr<X11Connection>, std::string> open(
      std::optional<std::string> display = std::nullopt,
      std::chrono::milliseconds timeout = kXRoundTrip);
  ~X11Connection();
  X11Connection(const X11Connection&) = delete;
  X11Connection& operator=(const X11Connection&) = delete;

  xcb_connection_t* raw() const { return c_; }
  xcb_ewmh_connection_t& ewmh() { return ewmh_; }
  xcb_window_t root() const { return screen_->root; }
  int screenNumber() const { return screenNumber_; }
  const xcb_screen_t& screen() const { return *screen_; }
  // The socket, for an event loop to wait on.
  int fd() const { return xcb_get_file_descriptor(c_); }
  // WM_DELETE_WINDOW, which EWMH's atom set leaves out.
  xcb_atom_t wmDeleteWindow() const { return wmDeleteWindow_; }
  // EDID, the RandR output property holding a monitor's identity.
  xcb_atom_t edid() const { return edid_; }
  // Whether the server has the extension (asked once, while connecting).
  bool hasRandr() const { return hasRandr_; }
  bool hasScreensaver() const { return hasScreensaver_; }

  // Waits until the server has answered every request sent so far; after true,
  // their replies are here and reading them does not wait. False when the
  // connection broke or the round trip took longer than the time-out (which
  // spends the connection).
  [[nodiscard]] bool sync();
  // True while the connection can still be used.
  bool healthy() const { return !spent_ && !broken(); }
  // True once the connection broke (the server went away), as against timed out.
  bool broken() const { return xcb_connection_has_error(c_) != 0; }

  // Asks for a property of `window`, at most `maxBytes` of it.
  xcb_get_property_cookie_t askProperty(xcb_window_t window, xcb_atom_t property,
                                        uint32_t maxBytes = 4096);
  // Reads an asked property after sync(): nullopt when the window is gone.
  std::optional<XProperty> property(xcb_get_property_cookie_t cookie);
  // Reads the name of an atom asked with xcb_get_atom_name after sync(); empty on error.
  std::string atomName(xcb_get_atom_name_cookie_t cookie);

 private:
  X11Connection(xcb_connection_t* c, int screenNumber, std::chrono::milliseconds roundTrip);
  [[nodiscard]] bool init();

  xcb_connection_t* c_;
  int screenNumber_;
  std::chrono::milliseconds roundTrip_;
  const xcb_screen_t* screen_ = nullptr;
  xcb_ewmh_connection_t ewmh_{};
  bool ewmhReady_ = false;
  bool spent_ = false;
  bool hasRandr_ = false;
  bool hasScreensaver_ = false;
  xcb_atom_t wmDeleteWindow_ = XCB_NONE;
  xcb_atom_t edid_ = XCB_NONE;
};

}  // namespace kelvane
