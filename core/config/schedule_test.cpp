#include "core/config/schedule.h"

#include <cmath>
#include <cstdint>
#include <tuple>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

Calendar zone(const char* name) { return Calendar::named(name).value(); }
Date utc(const char* text) { return Date::fromISO8601(text).value(); }

TEST(ScheduleNext, SlotsLieOnTheLocalGridStrictlyAfterTheMoment) {
  const std::tuple<const char*, const char*, int64_t, const char*> cases[] = {
      // Berlin in May (UTC+2); a period below one minute counts as one minute.
      {"Europe/Berlin", "2026-05-12T08:00:00Z", 15, "2026-05-12T08:15:00Z"},
      {"Europe/Berlin", "2026-05-12T21:50:00Z", 15, "2026-05-12T22:00:00Z"},
      {"Europe/Berlin", "2026-05-12T08:07:30Z", 0, "2026-05-12T08:08:00Z"},
      {"Europe/Berlin", "2026-05-12T08:07:30Z", -30, "2026-05-12T08:08:00Z"},
      {"Europe/Berlin", "2026-05-12T08:07:30Z", INT64_MIN, "2026-05-12T08:08:00Z"},
      // Slot 15 of a 100-minute grid lies past midnight; the new day's grid then counts.
      {"Europe/Berlin", "2026-05-12T21:30:00Z", 100, "2026-05-12T23:00:00Z"},
      {"Europe/Berlin", "2026-05-12T23:00:00Z", 100, "2026-05-12T23:40:00Z"},
      // Berlin, 23-hour day: two hours after midnight is 03:00 summer time.
      {"Europe/Berlin", "2026-03-29T00:50:00Z", 15, "2026-03-29T01:00:00Z"},
      // 22 h 30 m into the short day; slot 14 (23 h 20 m) is 00:20 the next day.
      {"Europe/Berlin", "2026-03-29T21:30:00Z", 100, "2026-03-29T22:20:00Z"},
      // Berlin, 25-hour day: 02:50 summer time, then 02:00 winter time.
      {"Europe/Berlin", "2026-10-25T00:50:00Z", 15, "2026-10-25T01:00:00Z"},
      // New York, 23-hour day: 01:59 EST is followed by 03:00 EDT.
      {"America/New_York", "2026-03-08T06:59:00Z", 30, "2026-03-08T07:00:00Z"},
      {"America/New_York", "2026-03-08T05:00:00Z", 1440, "2026-03-09T05:00:00Z"},
      // New York, 25-hour day: the repeated hour has slots of its own.
      {"America/New_York", "2026-11-01T06:00:00Z", 30, "2026-11-01T06:30:00Z"},
      // São Paulo had no midnight on 4 November 2018: the day starts at 01:00.
      {"America/Sao_Paulo", "2018-11-04T03:10:00Z", 15, "2018-11-04T03:15:00Z"},
  };
  for (const auto& [name, after, every, expected] : cases)
    EXPECT_EQ(Schedule::next(utc(after), every, zone(name)).iso8601(), expected)
        << name << " after " << after << " every " << every;
  const Calendar berlin = zone("Europe/Berlin");
  EXPECT_EQ(Schedule::next(utc("2026-05-12T08:14:59Z") + 0.5, 15, berlin),
            utc("2026-05-12T08:15:00Z"));
  EXPECT_TRUE(std::isnan(Schedule::next(Date(NAN), 15, berlin).unix()));
}

TEST(ScheduleMode, FirstMatchingConditionWins) {
  const Date slot = utc("2026-05-12T10:15:00Z");
  const Date learning = slot + 3600;
  const std::tuple<ScheduleState, Date, RunMode> cases[] = {
      // state, learningUntil, mode
      {{.pausedUntil = slot + 1}, slot, RunMode::paused},
      {{.pausedUntil = slot}, slot, RunMode::live},  // a pause ending at the slot is over
      {{.pausedUntil = Date::distantFuture()}, slot, RunMode::paused},
      {{.cancelledRunAt = slot, .pausedUntil = slot + 60}, slot, RunMode::paused},
      {{.cancelledRunAt = slot}, learning, RunMode::cancelled},
      {{.cancelledRunAt = slot - 900}, slot, RunMode::live},  // only that very slot
      {{.pausedUntil = slot}, learning, RunMode::learning},
      {{}, slot + 0.001, RunMode::learning},
  };
  for (const auto& [state, learningUntil, expected] : cases)
    EXPECT_EQ(Schedule::mode(slot, state, learningUntil), expected)
        << nlohmann::json(state).dump() << " learning until " << learningUntil.iso8601();
}

TEST(ScheduleWeekly, DueOncePastSundayThreeInTheMorningLocalTime) {
  const std::tuple<const char*, const char*, const char*, bool> cases[] = {
      // zone, last run, now, due. Berlin on Sunday 15 March 2026 (UTC+1):
      {"Europe/Berlin", "2026-03-14T11:00:00Z", "2026-03-15T02:00:00Z", true},   // Sat; 03:00
      {"Europe/Berlin", "2026-03-14T11:00:00Z", "2026-03-15T01:59:00Z", false},  // 02:59
      {"Europe/Berlin", "2026-03-15T01:30:00Z", "2026-03-15T03:00:00Z", true},   // 02:30; 04:00
      {"Europe/Berlin", "2026-03-15T02:30:00Z", "2026-03-15T03:00:00Z", false},  // 03:30; 04:00
      // The same moment is not yet Sunday 03:00 in New York.
      {"America/New_York", "2026-03-14T11:00:00Z", "2026-03-15T02:30:00Z", false},
      // Berlin, 23- and 25-hour Sundays: 03:00 is 01:00 and 02:00 UTC.
      {"Europe/Berlin", "2026-03-28T12:00:00Z", "2026-03-29T00:59:59Z", false},
      {"Europe/Berlin", "2026-03-28T12:00:00Z", "2026-03-29T01:00:00Z", true},
      {"Europe/Berlin", "2026-10-24T12:00:00Z", "2026-10-25T01:30:00Z", false},  // 02:30 CET
      {"Europe/Berlin", "2026-10-24T12:00:00Z", "2026-10-25T02:00:00Z", true},
      // New York, 23- and 25-hour Sundays: 03:00 is 07:00 and 08:00 UTC.
      {"America/New_York", "2026-03-08T06:30:00Z", "2026-03-08T07:00:00Z", true},  // 01:30 EST
      {"America/New_York", "2026-10-31T12:00:00Z", "2026-11-01T07:59:59Z", false},
      {"America/New_York", "2026-10-31T12:00:00Z", "2026-11-01T08:00:00Z", true},
      // Helsinki skips 03:00-04:00 in March: the boundary is the first valid moment...
      {"Europe/Helsinki", "2026-03-29T00:59:00Z", "2026-03-29T00:59:59Z", false},
      {"Europe/Helsinki", "2026-03-29T00:59:00Z", "2026-03-29T01:00:00Z", true},
      // ...and repeats it in October: the first occurrence counts.
      {"Europe/Helsinki", "2026-10-24T12:00:00Z", "2026-10-25T00:30:00Z", true},
      {"Europe/Helsinki", "2026-10-25T00:30:00Z", "2026-10-25T01:30:00Z", false},
  };
  for (const auto& [name, last, now, due] : cases)
    EXPECT_EQ(Schedule::weeklyDue(utc(now), utc(last), zone(name)), due)
        << name << " last " << last << " now " << now;
  const Calendar c = Calendar::utc();
  EXPECT_FALSE(Schedule::weeklyDue(utc("2026-03-18T08:00:00Z"), std::nullopt, c));
  EXPECT_FALSE(Schedule::weeklyDue(utc("2026-03-18T08:00:00Z"), Date(NAN), c));
  EXPECT_FALSE(Schedule::weeklyDue(Date(NAN), utc("2026-03-01T08:00:00Z"), c));
}

TEST(ScheduleStateJSON, WritesPresentFieldsAndReadsDamagedOnesAsAbsent) {
  const Date weekly = utc("2026-05-10T03:00:00Z");
  const ScheduleState full{utc("2026-05-12T10:15:00Z"), Date::distantFuture(), weekly};
  EXPECT_EQ(decodeJson<ScheduleState>(nlohmann::json(full).dump()), full);
  EXPECT_EQ(nlohmann::json(ScheduleState()).dump(), "{}");
  const char* damaged =
      R"({"cancelledRunAt":null,"pausedUntil":1,"lastWeeklyRun":"2026-05-10T03:00:00Z"})";
  EXPECT_EQ(decodeJson<ScheduleState>(damaged), (ScheduleState{.lastWeeklyRun = weekly}));
  for (const char* text : {R"({"pausedUntil":"tomorrow"})", "[]", "null"})
    EXPECT_EQ(decodeJson<ScheduleState>(text), ScheduleState()) << text;
}

}  // namespace
}  // namespace kelvane
