#include "core/config/schedule.h"

#include <cmath>
#include <cstdint>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

Calendar zone(const char* name) {
  const auto calendar = Calendar::named(name);
  EXPECT_TRUE(calendar) << name;
  return calendar.value_or(Calendar::utc());
}

Date utc(const char* text) { return Date::fromISO8601(text).value(); }

// A local wall-clock time; a repeated time means its first occurrence.
Date wall(const Calendar& c, int year, int month, int day, int hour, int minute, int second = 0) {
  return c.dateOf({year, month, day, 1, hour, minute, second}).value();
}

TEST(ScheduleNext, SlotsLieOnTheGridStrictlyAfterTheMoment) {
  const Calendar berlin = zone("Europe/Berlin");
  const auto at = [&](int h, int m, int s = 0) { return wall(berlin, 2026, 5, 12, h, m, s); };
  EXPECT_EQ(Schedule::next(at(10, 0), 15, berlin), at(10, 15));
  EXPECT_EQ(Schedule::next(at(10, 14, 59), 15, berlin), at(10, 15));
  EXPECT_EQ(Schedule::next(at(10, 14, 59) + 0.999, 15, berlin), at(10, 15));
  EXPECT_EQ(Schedule::next(at(23, 50), 15, berlin), wall(berlin, 2026, 5, 13, 0, 0));
  EXPECT_EQ(Schedule::next(at(0, 0), 1440, berlin), wall(berlin, 2026, 5, 13, 0, 0));
  for (const int64_t every : {int64_t{0}, int64_t{-30}, INT64_MIN})
    EXPECT_EQ(Schedule::next(at(10, 7, 30), every, berlin), at(10, 8)) << every;
}

TEST(ScheduleNext, APeriodThatDoesNotDivideADayRestartsAtMidnight) {
  for (const char* name : {"Europe/Berlin", "America/New_York"}) {
    const Calendar c = zone(name);
    // Slot 15 of the day's grid (1500 minutes) lies at 01:00 the next day...
    const Date late = Schedule::next(wall(c, 2026, 6, 10, 23, 30), 100, c);
    EXPECT_EQ(late, wall(c, 2026, 6, 11, 1, 0)) << name;
    // ...and from there the new day's grid counts: 00:00, 01:40, 03:20.
    EXPECT_EQ(Schedule::next(late, 100, c), wall(c, 2026, 6, 11, 1, 40)) << name;
  }
}

TEST(ScheduleNext, CountsElapsedTimeFromMidnightOnDaylightSavingDays) {
  const Calendar berlin = zone("Europe/Berlin");
  const Calendar newYork = zone("America/New_York");
  const std::tuple<Calendar, Date, int64_t, Date> cases[] = {
      // Berlin, 23-hour day: two hours after midnight is 03:00 summer time.
      {berlin, utc("2026-03-29T00:50:00Z"), 15, utc("2026-03-29T01:00:00Z")},
      // 22 h 30 m into the short day; slot 14 (23 h 20 m) is 00:20 the next day.
      {berlin, utc("2026-03-29T21:30:00Z"), 100, utc("2026-03-29T22:20:00Z")},
      // Berlin, 25-hour day: from 02:50 summer time to 02:00 winter time.
      {berlin, utc("2026-10-25T00:50:00Z"), 15, utc("2026-10-25T01:00:00Z")},
      // Slot 15 (25 h) of the long day is the next midnight exactly.
      {berlin, utc("2026-10-25T22:30:00Z"), 100, utc("2026-10-25T23:00:00Z")},
      // New York, 23-hour day: 01:59 EST is followed by 03:00 EDT.
      {newYork, utc("2026-03-08T06:59:00Z"), 30, utc("2026-03-08T07:00:00Z")},
      // New York, 25-hour day: the repeated hour gets its own slots.
      {newYork, utc("2026-11-01T05:45:00Z"), 30, utc("2026-11-01T06:00:00Z")},
      {newYork, utc("2026-11-01T06:00:00Z"), 30, utc("2026-11-01T06:30:00Z")},
      // 1440 minutes after midnight of a 23-hour day is 01:00 the next day.
      {newYork, utc("2026-03-08T05:00:00Z"), 1440, utc("2026-03-09T05:00:00Z")},
  };
  for (const auto& [calendar, after, every, expected] : cases)
    EXPECT_EQ(Schedule::next(after, every, calendar).iso8601(), expected.iso8601())
        << calendar.zoneName() << " after " << after.iso8601() << " every " << every;
}

TEST(ScheduleNext, ADayWithoutMidnightCountsFromItsFirstMoment) {
  // São Paulo moved its clocks from 00:00 to 01:00 on 4 November 2018.
  const Calendar saoPaulo = zone("America/Sao_Paulo");
  EXPECT_EQ(Schedule::next(utc("2018-11-04T03:10:00Z"), 15, saoPaulo), utc("2018-11-04T03:15:00Z"));
}

TEST(ScheduleNext, NonFiniteMomentsComeBackUnchanged) {
  const Date nan(std::nan(""));
  EXPECT_TRUE(std::isnan(Schedule::next(nan, 15, Calendar::utc()).unix()));
}

TEST(ScheduleMode, FirstMatchingConditionWins) {
  const Date slot = utc("2026-05-12T10:15:00Z");
  const Date learnt = slot;  // learning ended at the slot
  const Date learning = slot + 3600;
  const std::tuple<ScheduleState, Date, RunMode> cases[] = {
      // state, learningUntil, mode
      {{.pausedUntil = slot + 1}, learnt, RunMode::paused},
      {{.pausedUntil = slot}, learnt, RunMode::live},  // a pause ending at the slot is over
      {{.pausedUntil = slot - 1}, learnt, RunMode::live},
      {{.pausedUntil = Date::distantFuture()}, learnt, RunMode::paused},
      {{.cancelledRunAt = slot, .pausedUntil = slot + 60}, learnt, RunMode::paused},
      {{.cancelledRunAt = slot}, learnt, RunMode::cancelled},
      {{.cancelledRunAt = slot}, learning, RunMode::cancelled},
      {{.cancelledRunAt = slot - 900}, learnt, RunMode::live},  // only that slot
      {{.cancelledRunAt = slot + 0.5}, learnt, RunMode::live},
      {{.pausedUntil = slot}, learning, RunMode::learning},
      {{}, learning, RunMode::learning},
      {{}, slot + 0.001, RunMode::learning},
  };
  for (const auto& [state, learningUntil, expected] : cases)
    EXPECT_EQ(Schedule::mode(slot, state, learningUntil), expected)
        << nlohmann::json(state).dump() << " learning until " << learningUntil.iso8601();
}

TEST(ScheduleWeekly, BoundaryIsSundayThreeInTheMorning) {
  const Calendar berlin = zone("Europe/Berlin");
  const auto at = [&](int day, int h, int m, int s = 0) {
    return wall(berlin, 2026, 3, day, h, m, s);
  };
  const Date saturday = at(14, 12, 0);  // Sunday is 15 March 2026.
  EXPECT_TRUE(Schedule::weeklyDue(at(15, 3, 0), saturday, berlin));
  EXPECT_FALSE(Schedule::weeklyDue(at(15, 2, 59, 59), saturday, berlin));
  EXPECT_TRUE(Schedule::weeklyDue(at(15, 4, 0), at(15, 2, 30), berlin));
  EXPECT_FALSE(Schedule::weeklyDue(at(15, 4, 0), at(15, 3, 30), berlin));
  EXPECT_FALSE(Schedule::weeklyDue(at(15, 4, 0), at(15, 3, 0), berlin));
  EXPECT_TRUE(Schedule::weeklyDue(at(18, 9, 0), at(1, 9, 0), berlin));  // two weeks ago
  EXPECT_FALSE(Schedule::weeklyDue(at(21, 23, 0), at(15, 3, 0), berlin));
  EXPECT_FALSE(Schedule::weeklyDue(at(15, 4, 0), std::nullopt, berlin));
  EXPECT_FALSE(Schedule::weeklyDue(at(15, 4, 0), Date(std::nan("")), berlin));
  EXPECT_FALSE(Schedule::weeklyDue(Date(std::nan("")), saturday, berlin));
}

TEST(ScheduleWeekly, BoundaryFollowsTheCalendarsZone) {
  // 02:30 UTC is 03:30 in Berlin but 21:30 on Saturday in New York.
  const Date at = utc("2026-03-15T02:30:00Z");
  const Date saturday = utc("2026-03-14T10:00:00Z");
  EXPECT_TRUE(Schedule::weeklyDue(at, saturday, zone("Europe/Berlin")));
  EXPECT_FALSE(Schedule::weeklyDue(at, saturday, Calendar::utc()));
  EXPECT_FALSE(Schedule::weeklyDue(at, saturday, zone("America/New_York")));
}

TEST(ScheduleWeekly, DaylightSavingSundays) {
  struct Case {
    const char* zone;
    const char* last;
    const char* at;
    bool due;
  };
  const Case cases[] = {
      // Berlin, 23-hour Sunday: 03:00 summer time is 01:00 UTC.
      {"Europe/Berlin", "2026-03-28T12:00:00Z", "2026-03-29T00:59:59Z", false},
      {"Europe/Berlin", "2026-03-28T12:00:00Z", "2026-03-29T01:00:00Z", true},
      // Berlin, 25-hour Sunday: 02:30 winter time is still before 03:00.
      {"Europe/Berlin", "2026-10-24T12:00:00Z", "2026-10-25T01:30:00Z", false},
      {"Europe/Berlin", "2026-10-24T12:00:00Z", "2026-10-25T02:00:00Z", true},
      // New York, 23-hour Sunday: 01:30 EST the same morning counts as before.
      {"America/New_York", "2026-03-07T12:00:00Z", "2026-03-08T06:59:59Z", false},
      {"America/New_York", "2026-03-07T12:00:00Z", "2026-03-08T07:00:00Z", true},
      {"America/New_York", "2026-03-08T06:30:00Z", "2026-03-08T08:00:00Z", true},
      // New York, 25-hour Sunday: 03:00 EST is 08:00 UTC.
      {"America/New_York", "2026-10-31T12:00:00Z", "2026-11-01T07:59:59Z", false},
      {"America/New_York", "2026-10-31T12:00:00Z", "2026-11-01T08:00:00Z", true},
      // Helsinki skips from 03:00 to 04:00: the boundary is the first valid moment.
      {"Europe/Helsinki", "2026-03-28T12:00:00Z", "2026-03-29T00:59:59Z", false},
      {"Europe/Helsinki", "2026-03-28T12:00:00Z", "2026-03-29T01:00:00Z", true},
      {"Europe/Helsinki", "2026-03-29T00:59:00Z", "2026-03-29T01:00:00Z", true},
      // Helsinki repeats 03:00-04:00: the first occurrence is the boundary.
      {"Europe/Helsinki", "2026-10-24T12:00:00Z", "2026-10-25T00:30:00Z", true},
      {"Europe/Helsinki", "2026-10-25T00:30:00Z", "2026-10-25T01:30:00Z", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Schedule::weeklyDue(utc(c.at), utc(c.last), zone(c.zone)), c.due)
        << c.zone << " last " << c.last << " at " << c.at;
}

TEST(ScheduleStateJSON, RoundTripsAndWritesOnlyPresentFields) {
  const ScheduleState full{.cancelledRunAt = utc("2026-05-12T10:15:00Z"),
                           .pausedUntil = Date::distantFuture(),
                           .lastWeeklyRun = utc("2026-05-10T03:00:00Z")};
  EXPECT_EQ(decodeJson<ScheduleState>(nlohmann::json(full).dump()), full);
  EXPECT_EQ(nlohmann::json(ScheduleState()).dump(), "{}");
  const ScheduleState paused{.pausedUntil = utc("2026-05-12T11:00:00Z")};
  EXPECT_EQ(nlohmann::json(paused).dump(), R"({"pausedUntil":"2026-05-12T11:00:00Z"})");
}

TEST(ScheduleStateJSON, DamagedKeysReadAbsentAndSpareTheOthers) {
  const auto state = decodeJson<ScheduleState>(
      R"({"cancelledRunAt":null,"pausedUntil":17,"lastWeeklyRun":"2026-05-10T03:00:00Z"})");
  EXPECT_EQ(state, (ScheduleState{.lastWeeklyRun = utc("2026-05-10T03:00:00Z")}));
  EXPECT_EQ(decodeJson<ScheduleState>(R"({"pausedUntil":"tomorrow"})"), ScheduleState());
  for (const char* text : {"[]", "null", "\"x\"", "{}"})
    EXPECT_EQ(decodeJson<ScheduleState>(text), ScheduleState()) << text;
}

}  // namespace
}  // namespace kelvane
