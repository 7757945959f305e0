#include "core/support/calendar.h"

#include <cmath>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

Date at(const char* iso) { return *Date::fromISO8601(iso); }

Calendar zone(const char* name) {
  auto c = Calendar::named(name);
  EXPECT_TRUE(c.has_value()) << name;
  return c.value_or(Calendar::utc());
}

TEST(Calendar, StartOfDayFollowsTheZone) {
  const Calendar berlin = zone("Europe/Berlin");
  // 23:30Z on 1 March is already 2 March in Berlin (UTC+1).
  EXPECT_EQ(berlin.startOfDay(at("2026-03-01T23:30:00Z")), at("2026-03-01T23:00:00Z"));
  // The day of the spring change is 23 hours long; the autumn one 25.
  const Date spring = berlin.startOfDay(at("2026-03-29T12:00:00Z"));
  EXPECT_EQ(berlin.addingDays(spring, 1) - spring, 23 * 3600.0);
  const Date autumn = berlin.startOfDay(at("2026-10-25T12:00:00Z"));
  EXPECT_EQ(berlin.addingDays(autumn, 1) - autumn, 25 * 3600.0);
}

TEST(Calendar, MissingAndRepeatedLocalTimes) {
  const Calendar ny = zone("America/New_York");
  // 02:30 on 8 March 2026 does not exist: the first valid moment after the gap, 03:00 EDT.
  EXPECT_EQ(ny.dateOf({2026, 3, 8, 1, 2, 30, 0}), at("2026-03-08T07:00:00Z"));
  // 01:30 on 1 November 2026 happens twice: the first one, still EDT.
  EXPECT_EQ(ny.dateOf({2026, 11, 1, 1, 1, 30, 0}), at("2026-11-01T05:30:00Z"));
  EXPECT_EQ(ny.dateOf({2026, 2, 30, 1, 0, 0, 0}), std::nullopt);
  // Adding a day keeps the wall clock across the change.
  EXPECT_EQ(ny.addingDays(at("2026-03-07T15:00:00Z"), 1), at("2026-03-08T14:00:00Z"));
}

TEST(Calendar, LocalPartsAndLatestMatch) {
  const Calendar berlin = zone("Europe/Berlin");
  const LocalTime t = berlin.local(at("2026-12-06T22:50:00Z"));  // a Sunday
  EXPECT_EQ(t, (LocalTime{2026, 12, 6, 1, 23, 50, 0}));
  EXPECT_EQ(berlin.hour(at("2026-12-06T23:10:00Z")), 0);
  EXPECT_EQ(berlin.yearMonth(at("2026-12-31T23:10:00Z")), (YearMonth{2027, 1}));
  EXPECT_TRUE(berlin.sameDay(at("2026-12-06T00:00:00Z"), at("2026-12-06T22:59:59Z")));
  EXPECT_FALSE(berlin.sameDay(at("2026-12-06T00:00:00Z"), at("2026-12-06T23:00:00Z")));
  // Sunday 03:00 local: exactly at it matches itself, a second before gives the week before.
  EXPECT_EQ(berlin.latestMatch(at("2026-12-06T02:00:00Z"), 1, 3, 0, 0), at("2026-12-06T02:00:00Z"));
  EXPECT_EQ(berlin.latestMatch(at("2026-12-06T01:59:59Z"), 1, 3, 0, 0), at("2026-11-29T02:00:00Z"));
}

TEST(Calendar, MomentsOutOfRangeStayDefined) {
  const Calendar berlin = zone("Europe/Berlin");
  for (const double bad : {std::nan(""), 1e300, -1e300, double(INFINITY)}) {
    const Date d(bad);
    EXPECT_TRUE(std::isfinite(berlin.startOfDay(d).unix())) << bad;
    EXPECT_TRUE(std::isfinite(berlin.addingDays(d, 1).unix())) << bad;
    EXPECT_GE(berlin.hour(d), 0);
  }
  EXPECT_EQ(berlin.latestMatch(Date(std::nan("")), 1, 3, 0, 0), std::nullopt);
}

TEST(Calendar, UnknownZoneIsRefused) {
  EXPECT_EQ(Calendar::named("Mars/Olympus_Mons"), std::nullopt);
  EXPECT_EQ(Calendar::utc().startOfDay(at("2026-05-05T05:05:05Z")), at("2026-05-05T00:00:00Z"));
}

}  // namespace
}  // namespace kelvane
