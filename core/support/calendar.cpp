#include "core/support/calendar.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <exception>

#include <date/tz.h>

namespace kelvane {
namespace {

using Seconds = std::chrono::duration<int64_t>;
using LocalSeconds = date::local_time<Seconds>;

// Moments the zone database can place: about 28,000 years either side of 1970.
constexpr double kLimit = 9e11;

// Whole seconds since 1970 of a moment, toward the past. Moments out of range
// are held at the limit and NaN reads as 1970, so that nothing below ever
// converts a value an integer cannot hold.
date::sys_seconds sysSeconds(Date moment) {
  double unix = std::floor(moment.unix());
  if (!(unix == unix)) unix = 0;
  unix = std::clamp(unix, -kLimit, kLimit);
  return date::sys_seconds(Seconds(static_cast<int64_t>(unix)));
}

Date fromSys(date::sys_seconds s) {
  return Date::fromUnix(static_cast<double>(s.time_since_epoch().count()));
}

const date::time_zone* utcZone() {
  try {
    return date::locate_zone("UTC");
  } catch (const std::exception&) {
    return nullptr;
  }
}

// A local time to its moment: the first occurrence of a repeated time, and the
// end of the gap (the first valid moment) for a time that does not exist.
date::sys_seconds resolve(const date::time_zone* zone, LocalSeconds local) {
  if (!zone) return date::sys_seconds(local.time_since_epoch());
  const auto info = zone->get_info(local);
  switch (info.result) {
    case date::local_info::unique:
      return date::sys_seconds(local.time_since_epoch() - info.first.offset);
    case date::local_info::ambiguous:
      return date::sys_seconds(local.time_since_epoch() - info.first.offset);
    case date::local_info::nonexistent:
    default:
      return info.second.begin;
  }
}

LocalSeconds toLocal(const date::time_zone* zone, Date moment) {
  const auto sys = sysSeconds(moment);
  if (!zone) return LocalSeconds(sys.time_since_epoch());
  return zone->to_local(sys);
}

}  // namespace

Calendar Calendar::current() {
  if (const char* tz = std::getenv("TZ"); tz && *tz) {
    std::string_view name(tz);
    if (name.front() == ':') name.remove_prefix(1);
    if (auto named = Calendar::named(name)) return *named;
  }
  try {
    return Calendar(date::current_zone());
  } catch (const std::exception&) {
    return utc();
  }
}

Calendar Calendar::utc() { return Calendar(utcZone()); }

std::optional<Calendar> Calendar::named(std::string_view ianaName) {
  try {
    return Calendar(date::locate_zone(ianaName));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

std::string Calendar::zoneName() const { return zone_ ? std::string(zone_->name()) : "UTC"; }

LocalTime Calendar::local(Date moment) const {
  const auto local = toLocal(zone_, moment);
  const auto day = date::floor<date::days>(local);
  const date::year_month_day ymd(day);
  const date::hh_mm_ss<Seconds> hms(local - day);
  return LocalTime{int(ymd.year()),           int(unsigned(ymd.month())),
                   int(unsigned(ymd.day())),  int(date::weekday(day).c_encoding()) + 1,
                   int(hms.hours().count()),  int(hms.minutes().count()),
                   int(hms.seconds().count())};
}

Date Calendar::startOfDay(Date moment) const {
  const auto day = date::floor<date::days>(toLocal(zone_, moment));
  return fromSys(resolve(zone_, LocalSeconds(day)));
}

Date Calendar::addingDays(Date moment, int days) const {
  const auto local = toLocal(zone_, moment) + date::days(days);
  const double fraction = moment.unix() - std::floor(moment.unix());
  return fromSys(resolve(zone_, local)) + (std::isfinite(fraction) ? fraction : 0);
}

int Calendar::hour(Date moment) const { return local(moment).hour; }

YearMonth Calendar::yearMonth(Date moment) const {
  const auto l = local(moment);
  return {l.year, l.month};
}

bool Calendar::sameDay(Date a, Date b) const {
  return date::floor<date::days>(toLocal(zone_, a)) == date::floor<date::days>(toLocal(zone_, b));
}

std::optional<Date> Calendar::dateOf(const LocalTime& time) const {
  const date::year_month_day ymd{date::year{time.year}, date::month(unsigned(time.month)),
                                 date::day(unsigned(time.day))};
  if (!ymd.ok() || time.hour < 0 || time.hour > 23 || time.minute < 0 || time.minute > 59 ||
      time.second < 0 || time.second > 59)
    return std::nullopt;
  const LocalSeconds local = date::local_days(ymd) + std::chrono::hours(time.hour) +
                             std::chrono::minutes(time.minute) + Seconds(time.second);
  return fromSys(resolve(zone_, local));
}

std::optional<Date> Calendar::latestMatch(Date moment, int weekday, int hour, int minute,
                                          int second) const {
  if (!std::isfinite(moment.unix())) return std::nullopt;
  const auto today = date::floor<date::days>(toLocal(zone_, moment));
  for (int back = 0; back <= 8; ++back) {
    const date::local_days day = today - date::days(back);
    if (int(date::weekday(day).c_encoding()) + 1 != weekday) continue;
    const date::year_month_day ymd(day);
    const auto candidate =
        dateOf(LocalTime{int(ymd.year()), int(unsigned(ymd.month())), int(unsigned(ymd.day())),
                         weekday, hour, minute, second});
    if (candidate && *candidate <= moment) return candidate;
  }
  return std::nullopt;
}

}  // namespace kelvane
