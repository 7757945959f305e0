#include "core/usage/screen_time.h"

#include <cmath>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

Date utc(const char* text) { return Date::fromISO8601(text).value(); }

Calendar zone(const char* name) { return Calendar::named(name).value_or(Calendar::utc()); }

const Date kBoot = utc("2026-06-10T06:00:00Z");

// Feeds observations of one window in order, all with the same boot and session.
struct Clock {
  Calendar calendar = Calendar::utc();
  ScreenTime record;
  Clock& see(Date at, bool active = true, std::optional<uint32_t> window = 7) {
    record = record.noted(window, at, active, kBoot, 1, calendar);
    return *this;
  }
};

TEST(ScreenTime, CreditsActiveIntervalsOfAtMostFiveSeconds) {
  const Date t = utc("2026-06-10T12:00:00Z");
  Clock clock;
  clock.see(t).see(t + 1);
  EXPECT_EQ(clock.record.seconds(7), 1);
  clock.see(t + 31);  // a 30 s pause counts 5
  EXPECT_EQ(clock.record.seconds(7), 6);
  clock.see(t + 31.5, true, 9);
  EXPECT_EQ(clock.record.seconds(9), 0.5);
  EXPECT_EQ(clock.record.seconds(7), 6);
  EXPECT_EQ(clock.record.seconds(8), 0);
  EXPECT_EQ(clock.record.last, t + 31.5);
}

TEST(ScreenTime, InactiveOrWindowlessCallsRestartTheInterval) {
  const Date t = utc("2026-06-10T12:00:00Z");
  Clock clock;
  clock.see(t).see(t + 3, false).see(t + 4);
  EXPECT_EQ(clock.record.seconds(7), 1);
  clock.see(t + 6, true, std::nullopt).see(t + 8);
  EXPECT_EQ(clock.record.seconds(7), 3);
  EXPECT_EQ(clock.record.windows.size(), 1u);
}

TEST(ScreenTime, ATimeBeforeTheLastCreditsNothingAndMovesLastBack) {
  const Date t = utc("2026-06-10T12:00:00Z");
  Clock clock;
  clock.see(t).see(t + 2).see(t - 10);
  EXPECT_EQ(clock.record.seconds(7), 2);
  EXPECT_EQ(clock.record.last, t - 10);
  clock.see(t - 8);
  EXPECT_EQ(clock.record.seconds(7), 4);
}

TEST(ScreenTime, RestartsAtLocalMidnightOfTheCalendarsZone) {
  // 00:00:02 UTC is still the evening before in New York, the next day in UTC.
  const Date before = utc("2026-06-10T23:59:58Z");
  const Date after = utc("2026-06-11T00:00:02Z");
  Clock newYork{.calendar = zone("America/New_York")};
  newYork.see(before - 4).see(before).see(after);
  EXPECT_EQ(newYork.record.seconds(7), 8);
  EXPECT_EQ(newYork.record.day, utc("2026-06-10T04:00:00Z"));
  Clock london{.calendar = Calendar::utc()};
  london.see(before - 4).see(before).see(after);
  EXPECT_EQ(
      london.record,
      (ScreenTime{.day = utc("2026-06-11T00:00:00Z"), .boot = kBoot, .session = 1, .last = after}));
}

TEST(ScreenTime, DaylightSavingDaysAreOneLocalDayEach) {
  const Calendar berlin = zone("Europe/Berlin");
  // 25-hour day: 00:30 summer time and 23:59 winter time are the same day.
  Clock fall{.calendar = berlin};
  fall.see(utc("2026-10-24T22:30:00Z")).see(utc("2026-10-25T22:59:00Z"));
  fall.see(utc("2026-10-25T22:59:03Z"));
  EXPECT_EQ(fall.record.day, utc("2026-10-24T22:00:00Z"));
  EXPECT_EQ(fall.record.seconds(7), 8);
  // 23-hour day: its midnight comes 23 hours after the last one.
  Clock spring{.calendar = berlin};
  spring.see(utc("2026-03-29T21:59:58Z")).see(utc("2026-03-29T22:00:01Z"));
  EXPECT_EQ(spring.record.day, utc("2026-03-29T22:00:00Z"));
  EXPECT_EQ(spring.record.seconds(7), 0);
}

TEST(ScreenTime, AnotherBootOrSessionStartsAFreshRecord) {
  const Calendar c = Calendar::utc();
  const Date t = utc("2026-06-10T12:00:00Z");
  const ScreenTime counted{.day = utc("2026-06-10T00:00:00Z"),
                           .boot = kBoot,
                           .session = 1,
                           .windows = {{7, 60}},
                           .last = t};
  const auto fresh = [&](std::optional<Date> boot, std::optional<int32_t> session) {
    return ScreenTime{.day = counted.day, .boot = boot, .session = session, .last = t + 1};
  };
  EXPECT_EQ(counted.noted(7, t + 1, true, kBoot + 60, 1, c), fresh(kBoot + 60, 1));
  EXPECT_EQ(counted.noted(7, t + 1, true, std::nullopt, 1, c), fresh(std::nullopt, 1));
  EXPECT_EQ(counted.noted(7, t + 1, true, kBoot, 2, c), fresh(kBoot, 2));
  // An unknown session on either side keeps counting; a stored unknown one is filled in.
  EXPECT_EQ(counted.noted(7, t + 1, true, kBoot, std::nullopt, c).seconds(7), 61);
  ScreenTime noSession = counted;
  noSession.session.reset();
  const ScreenTime kept = noSession.noted(7, t + 1, true, kBoot, 4, c);
  EXPECT_EQ(kept.session, 4);
  EXPECT_EQ(kept.seconds(7), 61);
  // A stored record without a boot time meets one with a boot time.
  ScreenTime noBoot = counted;
  noBoot.boot.reset();
  EXPECT_EQ(noBoot.noted(7, t + 1, true, kBoot, 1, c), fresh(kBoot, 1));
}

TEST(ScreenTime, NonFiniteMomentLeavesTheRecordAlone) {
  Clock clock;
  clock.see(utc("2026-06-10T12:00:00Z"));
  const ScreenTime before = clock.record;
  clock.see(Date(std::nan(""))).see(Date(INFINITY));
  EXPECT_EQ(clock.record, before);
}

TEST(ScreenTimeJSON, RoundTripsWithWindowIDsAsKeys) {
  const ScreenTime record{.day = utc("2026-06-10T00:00:00Z"),
                          .boot = kBoot,
                          .session = -3,
                          .windows = {{7, 12.5}, {4294967295u, 1}},
                          .last = utc("2026-06-10T12:00:00Z")};
  const nlohmann::json j = record;
  EXPECT_EQ(j.at("windows").dump(), R"({"4294967295":1.0,"7":12.5})");
  EXPECT_EQ(decodeJson<ScreenTime>(j.dump()), record);
  const ScreenTime bare{.day = record.day};
  EXPECT_EQ(nlohmann::json(bare).dump(), R"({"day":"2026-06-10T00:00:00Z","windows":{}})");
  EXPECT_EQ(decodeJson<ScreenTime>(R"({"day":"2026-06-10T00:00:00Z","windows":{},"last":null})"),
            bare);
}

TEST(ScreenTimeJSON, DamagedRecordsFailWhole) {
  for (const char* text : {
           R"({"windows":{}})",
           R"({"day":"2026-06-10T00:00:00Z"})",
           R"({"day":"2026-06-10T00:00:00Z","windows":{"-1":3}})",
           R"({"day":"2026-06-10T00:00:00Z","windows":{"7":"3"}})",
           R"({"day":"2026-06-10T00:00:00Z","windows":{},"session":2147483648})",
           R"({"day":12,"windows":{}})",
       })
    EXPECT_EQ(decodeJson<ScreenTime>(text), std::nullopt) << text;
}

}  // namespace
}  // namespace kelvane
