#pragma once
// X11WindowActions: closing a window and quitting an application the way a
// person does, by asking their windows to close (which gives an application the
// chance to ask about unsaved work), with the outcome texts the engine records.
// The process itself is ended by a stop function of the process layer.
#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "core/actions/action.h"
#include "core/engine/outcome.h"

namespace kelvane {

// Ends an action's process politely (a signal, a grace period, a kill) and says
// how that went; "done" when the process is gone, also when it already was.
using StopFunction = std::function<Outcome(const Action&)>;

// Thread-safe: every call opens a connection of its own, so the executor may
// run several at once.
class X11WindowActions final {
 public:
  struct Timing {
    std::chrono::milliseconds roundTrip{2000};  // Longest wait for any one answer.
    std::chrono::milliseconds closeWait{5000};  // How long a window may take to close.
  };

  // Talks to `display` (DISPLAY when absent); `stop` ends processes for quitApp.
  X11WindowActions(std::optional<std::string> display, StopFunction stop, Timing timing);
  X11WindowActions(std::optional<std::string> display, StopFunction stop)
      : X11WindowActions(std::move(display), std::move(stop), Timing{}) {}

  // Asks the action's window to close and waits for it to go: "done" when it
  // went; "needs you: …" when it stayed (a question about unsaved work); "skipped:
  // …" when it is already gone, belongs to a process other than `pid`, or cannot
  // be asked; "failed: …" without a window ID or an X server.
  Outcome closeWindow(const Action& action) const;

  // Asks every window of the process `pid` to close, waits for all to go, then
  // ends the process through the stop function and answers what it answers.
  // "needs you: …" when a window stays or cannot be asked to close (the process
  // is then left running); "failed: …" without an X server, since its windows
  // could hold unsaved work.
  Outcome quitApp(const Action& action) const;

 private:
  std::optional<std::string> display_;
  StopFunction stop_;
  Timing timing_;
};

}  // namespace kelvane
