#pragma once
// Calendar: the user's time zone and the few pieces of calendar arithmetic the
// rules need (days, hours, months, the weekly boundary). Days and hours are
// local to the zone; daylight-saving changes are honoured.
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/support/date.h"

namespace date {
class time_zone;
}

namespace kelvane {

// A local calendar date and time of day.
struct LocalTime {
  int year = 1;
  int month = 1;    // 1...12
  int day = 1;      // 1...31
  int weekday = 1;  // 1 = Sunday ... 7 = Saturday
  int hour = 0;
  int minute = 0;
  int second = 0;
  bool operator==(const LocalTime&) const = default;
};

struct YearMonth {
  int year = 1;
  int month = 1;
  bool operator==(const YearMonth&) const = default;
  auto operator<=>(const YearMonth&) const = default;
};

// Immutable; copies are cheap and may be used from any thread.
class Calendar final {
 public:
  // The zone named by TZ, else /etc/localtime, else UTC.
  static Calendar current();
  static Calendar utc();
  // The IANA zone of that name; nullopt when the zone database does not know it.
  [[nodiscard]] static std::optional<Calendar> named(std::string_view ianaName);

  std::string zoneName() const;
  LocalTime local(Date moment) const;
  // Local midnight of the moment's day; where midnight does not exist (a
  // daylight-saving gap), the first moment of the day.
  Date startOfDay(Date moment) const;
  // The same local time of day `days` later (or earlier); a time that falls in
  // a gap moves to the first valid moment after it, a repeated time takes its
  // first occurrence.
  Date addingDays(Date moment, int days) const;
  int hour(Date moment) const;
  YearMonth yearMonth(Date moment) const;
  bool sameDay(Date a, Date b) const;
  // The moment of a local time (first occurrence when repeated; the first valid
  // moment after a gap when it does not exist); nullopt for an impossible date.
  [[nodiscard]] std::optional<Date> dateOf(const LocalTime& time) const;
  // The latest moment at or before `moment` whose local weekday (1 = Sunday),
  // hour, minute and second match, searching back at most 8 days; nullopt when
  // none is found. Days where the time falls in a gap match at the first valid
  // moment after the gap; repeated times match at their first occurrence.
  [[nodiscard]] std::optional<Date> latestMatch(Date moment, int weekday, int hour, int minute,
                                                int second) const;

 private:
  explicit Calendar(const date::time_zone* zone) : zone_(zone) {}
  const date::time_zone* zone_;  // Owned by the zone database, which lives forever.
};

}  // namespace kelvane
