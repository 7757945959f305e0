#pragma once
// SpeedAgent: the automatic speed tests as the agent runs them. On each tick it
// asks the schedule (interval, settings, the month's budget, the line) and notes
// the decision whenever it changes, with its reason; a test the schedule starts
// runs on a thread of its own, so that a tick never waits for a transfer.
#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "core/config/config.h"
#include "core/store/store.h"
#include "platform/linux/speed_session.h"

namespace kelvane {

// Ticks come from one thread; the test runs on another and reports through `finished`.
class SpeedAgent final {
 public:
  struct Setup {
    std::function<Date()> now = [] { return Date::now(); };
    Calendar calendar = Calendar::current();
    std::function<bool()> online = SpeedSession::online;
    // Whether the screen is locked; this machine's session lock is not read yet.
    std::function<bool()> locked = [] { return false; };
    SpeedRunLimits limits = SpeedRunLimits::of(true);
    // Called on the test's thread when a test has finished or failed.
    std::function<void(const SpeedSession::Report&)> finished;
  };

  SpeedAgent(Store store, Setup setup);
  // Waits for a test in progress.
  ~SpeedAgent();
  SpeedAgent(const SpeedAgent&) = delete;
  SpeedAgent& operator=(const SpeedAgent&) = delete;

  // Decides at the setup's now with `config`, notes the decision when its text
  // changed since the last one noted, and starts a test when it is to run. A
  // test of this agent still running is the skip "a test is running"; no listed
  // server is a skip of its own. Returns the decision's text.
  std::string tick(const Config& config);
  // Waits until a test started by tick() has finished.
  void wait();
  bool testing() const { return testing_; }

 private:
  void note(Date at, const std::string& text);

  Store store_;
  Setup setup_;
  std::thread test_;
  std::atomic<bool> testing_{false};
  std::optional<std::string> noted_;
};

}  // namespace kelvane
