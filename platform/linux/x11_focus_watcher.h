#pragma once
// X11FocusWatcher: tells when the active window changes, with its process and
// whether the person is at the machine (input within the idle threshold), for
// screen time. It is driven from the X connection's file descriptor, so an
// event loop waits on it beside everything else.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "core/support/result.h"
#include "platform/linux/x11_connection.h"

namespace kelvane {

// One observation of the focus.
struct FocusNote {
  std::optional<uint32_t> window;  // The active window; absent when none is.
  std::optional<int32_t> pid;      // Its process, when it names one on this machine.
  bool active = false;             // The last input is more recent than the idle threshold.
  bool operator==(const FocusNote&) const = default;
};

// Main thread only (the thread that calls dispatch()); the callback runs there.
class X11FocusWatcher final {
 public:
  using Callback = std::function<void(const FocusNote&)>;
  struct Options {
    std::chrono::milliseconds idleThreshold{std::chrono::minutes(2)};
    std::chrono::milliseconds roundTrip{2000};
  };

  // Connects to `display` (DISPLAY when absent) and starts listening. Fails with
  // a reason when there is no X server, or no window manager that names the
  // active window. Without the screen-saver extension every note is active.
  static Result<std::unique_ptr<X11FocusWatcher>, std::string> start(
      std::optional<std::string> display, Callback onChange, Options options);

  // The descriptor to wait on for reading; then call dispatch().
  int fd() const { return x_->fd(); }
  // Handles what the server sent: calls back once when the active window is
  // another than last reported. False when the connection is lost; the owner
  // then drops the watcher and may start a new one.
  [[nodiscard]] bool dispatch();
  // Waits up to `timeout` for the server, then dispatches. For a thread of its own.
  [[nodiscard]] bool waitAndDispatch(std::chrono::milliseconds timeout);
  // Reads the focus now, for notes between changes (and at start), then handles
  // what arrived meanwhile as dispatch() does. nullopt when the server does not
  // answer (the watcher is then lost).
  std::optional<FocusNote> current();

 private:
  X11FocusWatcher(std::unique_ptr<X11Connection> x, Callback onChange, Options options);
  std::optional<FocusNote> read();

  std::unique_ptr<X11Connection> x_;
  Callback onChange_;
  Options options_;
  std::string host_;
  std::optional<uint32_t> reported_;
};

}  // namespace kelvane
