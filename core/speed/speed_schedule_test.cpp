#include "core/speed/speed_schedule.h"

#include <functional>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

using Decision = SpeedSchedule::Decision;

const Calendar kZurich = *Calendar::named("Europe/Zurich");

// A local time in Zurich on 2025-03-12.
Date at(int hour, int minute = 0) {
  return *kZurich.dateOf({.year = 2025, .month = 3, .day = 12, .hour = hour, .minute = minute});
}

const SpeedConditions kFine{.automatic = true, .budget = 1'000, .online = true};

TEST(SpeedScheduleDecide, WaitsForTheLocalInterval) {
  EXPECT_EQ(SpeedSchedule::interval(at(0, 59), kZurich), 10'800);
  EXPECT_EQ(SpeedSchedule::interval(at(1), kZurich), 21'600);
  EXPECT_EQ(SpeedSchedule::interval(at(9, 59), kZurich), 21'600);
  EXPECT_EQ(SpeedSchedule::interval(at(10), kZurich), 10'800);
  // 5 hours since the last test: too soon at 03:00, due at 15:00.
  EXPECT_EQ(SpeedSchedule::decide(at(3), at(3) - 5 * 3600, kFine, kZurich), Decision::wait());
  EXPECT_EQ(SpeedSchedule::decide(at(15), at(10), kFine, kZurich), Decision::run());
  EXPECT_EQ(SpeedSchedule::decide(at(15), at(12), kFine, kZurich), Decision::run());
  EXPECT_EQ(SpeedSchedule::decide(at(15), at(12) + 1, kFine, kZurich), Decision::wait());
  // A last test in the future (the clock moved back) never holds tests off.
  EXPECT_EQ(SpeedSchedule::decide(at(15), at(16), kFine, kZurich), Decision::run());
}

TEST(SpeedScheduleDecide, FirstReasonWins) {
  // Everything is wrong at first; each step mends the reason that should be reported.
  SpeedConditions c{
      .budget = 0, .expensive = true, .constrained = true, .locked = true, .running = true};
  EXPECT_EQ(SpeedSchedule::decide(at(15), at(14), c, kZurich), Decision::wait());  // before off
  const std::pair<std::string_view, std::function<void()>> steps[] = {
      {"auto tests are off", [&] { c.automatic = true; }},
      {"monthly budget used", [&] { c.budget = 1; }},
      {"offline", [&] { c.online = true; }},
      {"phone hotspot", [&] { c.expensive = false; }},
      {"Low Data Mode", [&] { c.constrained = false; }},
      {"screen locked", [&] { c.locked = false; }},
      {"a test is running", [&] { c.running = false; }},
  };
  for (const auto& [text, mend] : steps) {
    const auto d = SpeedSchedule::decide(at(15), std::nullopt, c, kZurich);
    ASSERT_TRUE(d.reason) << text;
    EXPECT_EQ(rawValue(*d.reason), text);
    mend();
  }
  EXPECT_EQ(SpeedSchedule::decide(at(15), std::nullopt, c, kZurich), Decision::run());
  c.used = 1;  // exactly used up
  EXPECT_EQ(SpeedSchedule::decide(at(15), std::nullopt, c, kZurich),
            Decision::skip(SpeedSkip::budget));
  EXPECT_EQ(rawValue(SpeedSkip::busy), "line busy");
}

}  // namespace
}  // namespace kelvane
