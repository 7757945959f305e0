#include "core/usage/screen_time.h"

#include <cmath>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

Date utc(const char* text) { return Date::fromISO8601(text).value(); }
const Date kBoot = utc("2026-06-10T06:00:00Z");
const Date kNoon = utc("2026-06-10T12:00:00Z");

// Feeds observations of window 7 (unless told otherwise), same boot and session.
struct Clock {
  Calendar calendar = Calendar::utc();
  ScreenTime record;
  Clock& see(Date at, bool active = true, std::optional<uint32_t> window = 7) {
    record = record.noted(
        {.window = window, .at = at, .active = active, .boot = kBoot, .session = 1}, calendar);
    return *this;
  }
};

TEST(ScreenTime, CreditsActiveIntervalsOfAtMostFiveSeconds) {
  Clock clock;
  clock.see(kNoon).see(kNoon + 1).see(kNoon + 31);  // 1 s, then a 30 s pause counts 5
  EXPECT_EQ(clock.record.seconds(7), 6);
  clock.see(kNoon + 34, false).see(kNoon + 35);  // an inactive call restarts the interval
  clock.see(kNoon + 36, true, std::nullopt).see(kNoon + 36.5, true, 9);
  EXPECT_EQ(clock.record.windows, (std::map<uint32_t, double>{{7, 7}, {9, 0.5}}));
  clock.see(kNoon - 10).see(kNoon - 8);  // a step back credits nothing, then counts from there
  EXPECT_EQ(clock.record.seconds(7), 9);
  EXPECT_EQ(clock.record.seconds(8), 0);
  const ScreenTime before = clock.record;
  clock.see(Date(NAN)).see(Date(INFINITY));
  EXPECT_EQ(clock.record, before);
}

TEST(ScreenTime, RestartsAtLocalMidnightIncludingDaylightSavingDays) {
  const Calendar newYork = Calendar::named("America/New_York").value();
  const Calendar berlin = Calendar::named("Europe/Berlin").value();
  const std::tuple<Calendar, const char*, const char*, bool> cases[] = {
      // zone, two moments 3 s apart, same day
      {newYork, "2026-06-10T23:59:58Z", "2026-06-11T00:00:01Z", true},  // 20:00 in New York
      {Calendar::utc(), "2026-06-10T23:59:58Z", "2026-06-11T00:00:01Z", false},
      {berlin, "2026-03-29T21:59:58Z", "2026-03-29T22:00:01Z", false},  // after a 23-hour day
      {berlin, "2026-10-25T22:59:58Z", "2026-10-25T23:00:01Z", false},  // after a 25-hour day
      {berlin, "2026-10-25T22:59:54Z", "2026-10-25T22:59:57Z", true},   // 23:59 winter time
  };
  for (const auto& [calendar, first, second, sameDay] : cases) {
    Clock clock{.calendar = calendar};
    clock.see(utc(first) - 100).see(utc(first)).see(utc(second));
    EXPECT_EQ(clock.record.seconds(7), sameDay ? 8 : 0) << calendar.zoneName() << " " << second;
    EXPECT_EQ(clock.record.day, calendar.startOfDay(utc(second)));
  }
}

TEST(ScreenTime, AnotherBootOrKnownSessionStartsAFreshRecord) {
  const Calendar c = Calendar::utc();
  const ScreenTime counted{c.startOfDay(kNoon), kBoot, 1, {{7, 60}}, kNoon};
  const Date next = kNoon + 1;
  const auto fresh = [&](std::optional<Date> boot, std::optional<int32_t> session) {
    return ScreenTime{counted.day, boot, session, {}, next};
  };
  // Window 7 seen active a second later, with the given boot time and session.
  const auto seen = [&](std::optional<Date> boot, std::optional<int32_t> session) {
    return ScreenTime::Observation{
        .window = 7, .at = next, .active = true, .boot = boot, .session = session};
  };
  EXPECT_EQ(counted.noted(seen(kBoot + 60, 1), c), fresh(kBoot + 60, 1));
  EXPECT_EQ(counted.noted(seen(std::nullopt, 1), c), fresh(std::nullopt, 1));
  EXPECT_EQ(counted.noted(seen(kBoot, 2), c), fresh(kBoot, 2));
  EXPECT_EQ(counted.noted(seen(kBoot, std::nullopt), c).seconds(7), 61);
  const ScreenTime unknown{counted.day, kBoot, std::nullopt, {{7, 60}}, kNoon};
  EXPECT_EQ(unknown.noted(seen(kBoot, 4), c), (ScreenTime{counted.day, kBoot, 4, {{7, 61}}, next}));
  const ScreenTime bootless{counted.day, std::nullopt, 1, {{7, 60}}, kNoon};
  EXPECT_EQ(bootless.noted(seen(kBoot, 1), c), fresh(kBoot, 1));
}

TEST(ScreenTimeJSON, RoundTripsWithWindowIDsAsKeysAndFailsWholeWhenDamaged) {
  const ScreenTime record{
      utc("2026-06-10T00:00:00Z"), kBoot, -3, {{7, 12.5}, {4294967295u, 1}}, kNoon};
  EXPECT_EQ(nlohmann::json(record).at("windows").dump(), R"({"4294967295":1.0,"7":12.5})");
  EXPECT_EQ(decodeJson<ScreenTime>(nlohmann::json(record).dump()), record);
  EXPECT_EQ(decodeJson<ScreenTime>(R"({"day":"2026-06-10T00:00:00Z","windows":{},"last":null})"),
            ScreenTime{.day = record.day});
  for (const char* text : {R"({"windows":{}})", R"({"day":"2026-06-10T00:00:00Z"})",
                           R"({"day":"2026-06-10T00:00:00Z","windows":{"-1":3}})",
                           R"({"day":"2026-06-10T00:00:00Z","windows":{},"session":2147483648})"})
    EXPECT_EQ(decodeJson<ScreenTime>(text), std::nullopt) << text;
}

}  // namespace
}  // namespace kelvane
