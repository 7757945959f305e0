#pragma once
// ScreenTime: how many seconds each window was in active use on the current
// local day, for one boot of the machine and one login session. A value; the
// engine keeps the latest record and saves it.
#include <cstdint>
#include <map>
#include <optional>

#include <nlohmann/json_fwd.hpp>

#include "core/support/calendar.h"
#include "core/support/date.h"

namespace kelvane {

// One day's count; a value the engine replaces with each observation.
struct ScreenTime {
  // The longest interval credited at once; a longer pause counts this much.
  static constexpr double kMaxCredit = 5;

  Date day;                            // Start of the local day being counted.
  std::optional<Date> boot;            // Boot time of the machine counted.
  std::optional<int32_t> session;      // Login session counted.
  std::map<uint32_t, double> windows;  // Active seconds per window ID.
  std::optional<Date> last;            // Time of the previous observation.
  bool operator==(const ScreenTime&) const = default;

  // One look at the screen.
  struct Observation {
    std::optional<uint32_t> window;  // The focused window; none when no window has the focus.
    Date at;
    bool active = false;             // Whether the user was at the machine.
    std::optional<Date> boot;        // The machine's boot time, when known.
    std::optional<int32_t> session;  // The login session, when known.
    bool operator==(const Observation&) const = default;
  };

  // Returns the record after one observation. A new local day, another boot
  // time (absent differs from present) or another known session starts a
  // fresh record. When active and a previous time exist, the focused window
  // gains the time since it, clamped to 0...5 seconds. A moment that is not a
  // finite number leaves the record as it is.
  [[nodiscard]] ScreenTime noted(const Observation& seen, const Calendar& calendar) const;
  // Returns the active seconds of `window`; 0 for a window never credited.
  double seconds(uint32_t window) const;
};

// JSON coding with the keys day, boot, session, windows (an object keyed by
// the decimal window ID) and last; absent optionals are omitted. from_json
// throws nlohmann::json::exception when day or windows is missing or any
// value is mistyped, so that the whole record fails.
void to_json(nlohmann::json& j, const ScreenTime& record);
void from_json(const nlohmann::json& j, ScreenTime& record);

}  // namespace kelvane
