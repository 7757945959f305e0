#pragma once
// SpeedSchedule: whether an automatic speed test should run now, from the
// conditions the host observes; SpeedSkip: the reason shown when it should not.
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/support/calendar.h"
#include "core/support/date.h"

namespace kelvane {

// What the host observed at the moment of deciding.
struct SpeedConditions {
  bool automatic = false;    // Automatic tests are switched on.
  int64_t budget = 0;        // Monthly budget in bytes.
  int64_t used = 0;          // Bytes used this month.
  bool online = false;       // A network path is available.
  bool expensive = false;    // The path is a phone hotspot or cellular.
  bool constrained = false;  // The path is in Low Data Mode.
  bool locked = false;       // The screen is locked.
  bool running = false;      // A test is already running.
  bool operator==(const SpeedConditions&) const = default;
};

enum class SpeedSkip { off, budget, offline, hotspot, lowData, locked, running, busy };

// Returns the text shown for a skip: "auto tests are off", "monthly budget
// used", "offline", "phone hotspot", "Low Data Mode", "screen locked", "a test
// is running", "line busy".
std::string_view rawValue(SpeedSkip skip);

namespace SpeedSchedule {

// Run, wait for the interval to pass, or skip for a reason.
struct Decision {
  enum class Kind { skip, wait, run };
  Kind kind = Kind::run;
  std::optional<SpeedSkip> reason;  // Set exactly when kind is skip.
  bool operator==(const Decision&) const = default;

  static Decision skip(SpeedSkip why) { return {Kind::skip, why}; }
  static Decision wait() { return {Kind::wait, std::nullopt}; }
  static Decision run() { return {Kind::run, std::nullopt}; }
};

// Returns the seconds between automatic tests: 6 hours when the local hour of
// `at` is 1 to 9, else 3 hours.
double interval(Date at, const Calendar& calendar);

// Decides, first match winning: wait while the interval since `lastAuto` has
// not passed (a `lastAuto` later than `now`, a clock moved back, never waits);
// then skip when off, over budget, offline, on a hotspot, in Low Data Mode,
// locked or already running; else run. Never returns the `busy` skip.
Decision decide(Date now, std::optional<Date> lastAuto, const SpeedConditions& conditions,
                const Calendar& calendar);

}  // namespace SpeedSchedule
}  // namespace kelvane
