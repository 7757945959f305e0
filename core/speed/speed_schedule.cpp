#include "core/speed/speed_schedule.h"

namespace kelvane {

std::string_view rawValue(SpeedSkip skip) {
  switch (skip) {
    case SpeedSkip::off:
      return "auto tests are off";
    case SpeedSkip::budget:
      return "monthly budget used";
    case SpeedSkip::offline:
      return "offline";
    case SpeedSkip::hotspot:
      return "phone hotspot";
    case SpeedSkip::lowData:
      return "Low Data Mode";
    case SpeedSkip::locked:
      return "screen locked";
    case SpeedSkip::running:
      return "a test is running";
    case SpeedSkip::busy:
      return "line busy";
  }
  return "line busy";
}

namespace SpeedSchedule {

double interval(Date at, const Calendar& calendar) {
  const int hour = calendar.hour(at);
  return hour >= 1 && hour <= 9 ? 21'600 : 10'800;
}

Decision decide(Date now, std::optional<Date> lastAuto, const SpeedConditions& conditions,
                const Calendar& calendar) {
  if (lastAuto && *lastAuto <= now && now - *lastAuto < interval(now, calendar))
    return Decision::wait();
  if (!conditions.automatic) return Decision::skip(SpeedSkip::off);
  if (conditions.used >= conditions.budget) return Decision::skip(SpeedSkip::budget);
  if (!conditions.online) return Decision::skip(SpeedSkip::offline);
  if (conditions.expensive) return Decision::skip(SpeedSkip::hotspot);
  if (conditions.constrained) return Decision::skip(SpeedSkip::lowData);
  if (conditions.locked) return Decision::skip(SpeedSkip::locked);
  if (conditions.running) return Decision::skip(SpeedSkip::running);
  return Decision::run();
}

}  // namespace SpeedSchedule
}  // namespace kelvane
