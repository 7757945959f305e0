#include "core/speed/speed_schedule.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

using Decision = SpeedSchedule::Decision;

Calendar zurich() { return *Calendar::named("Europe/Zurich"); }

// A local time in Zurich on 2025-03-12 (no daylight-saving change that day).
Date at(int hour, int minute = 0) {
  return *zurich().dateOf({.year = 2025, .month = 3, .day = 12, .hour = hour, .minute = minute});
}

// Everything allows a test.
SpeedConditions fine() {
  return {.automatic = true, .budget = 1'000'000, .used = 0, .online = true};
}

TEST(SpeedScheduleInterval, LongerAtNight) {
  const auto cal = zurich();
  EXPECT_EQ(SpeedSchedule::interval(at(0, 59), cal), 10'800);
  EXPECT_EQ(SpeedSchedule::interval(at(1), cal), 21'600);
  EXPECT_EQ(SpeedSchedule::interval(at(9, 59), cal), 21'600);
  EXPECT_EQ(SpeedSchedule::interval(at(10), cal), 10'800);
}

TEST(SpeedScheduleDecide, WaitsForTheIntervalInLocalTime) {
  const auto cal = zurich();
  // 5 hours since the last test: too soon at 03:00, due at 15:00.
  EXPECT_EQ(SpeedSchedule::decide(at(3), at(3) - 5 * 3600, fine(), cal), Decision::wait());
  EXPECT_EQ(SpeedSchedule::decide(at(15), at(15) - 5 * 3600, fine(), cal), Decision::run());
  // Exactly one interval later is due; a second earlier is not.
  EXPECT_EQ(SpeedSchedule::decide(at(15), at(12), fine(), cal), Decision::run());
  EXPECT_EQ(SpeedSchedule::decide(at(15), at(12) + 1, fine(), cal), Decision::wait());
  // A last test in the future (the clock moved back) never holds tests off.
  EXPECT_EQ(SpeedSchedule::decide(at(15), at(16), fine(), cal), Decision::run());
  EXPECT_EQ(SpeedSchedule::decide(at(15), std::nullopt, fine(), cal), Decision::run());
}

TEST(SpeedScheduleDecide, FirstReasonWins) {
  const auto cal = zurich();
  const Date now = at(15);
  auto off = fine();
  off.automatic = false;
  EXPECT_EQ(SpeedSchedule::decide(now, now - 3600, off, cal), Decision::wait());  // wait before off
  EXPECT_EQ(SpeedSchedule::decide(now, std::nullopt, off, cal), Decision::skip(SpeedSkip::off));

  // Each row switches on its own condition and every later one.
  const struct {
    SpeedConditions conditions;
    SpeedSkip expected;
  } cases[] = {
      {{.automatic = true, .budget = 0, .used = 0, .online = false, .expensive = true},
       SpeedSkip::budget},
      {{.automatic = true,
        .budget = 10,
        .used = 5,
        .online = false,
        .expensive = true,
        .constrained = true},
       SpeedSkip::offline},
      {{.automatic = true,
        .budget = 10,
        .online = true,
        .expensive = true,
        .constrained = true,
        .locked = true},
       SpeedSkip::hotspot},
      {{.automatic = true,
        .budget = 10,
        .online = true,
        .constrained = true,
        .locked = true,
        .running = true},
       SpeedSkip::lowData},
      {{.automatic = true, .budget = 10, .online = true, .locked = true, .running = true},
       SpeedSkip::locked},
      {{.automatic = true, .budget = 10, .online = true, .running = true}, SpeedSkip::running},
  };
  for (const auto& c : cases)
    EXPECT_EQ(SpeedSchedule::decide(now, std::nullopt, c.conditions, cal),
              Decision::skip(c.expected))
        << rawValue(c.expected);
  auto spent = fine();
  spent.used = spent.budget;  // used up exactly
  EXPECT_EQ(SpeedSchedule::decide(now, std::nullopt, spent, cal),
            Decision::skip(SpeedSkip::budget));
}

TEST(SpeedSkipText, TextsShown) {
  EXPECT_EQ(rawValue(SpeedSkip::off), "auto tests are off");
  EXPECT_EQ(rawValue(SpeedSkip::budget), "monthly budget used");
  EXPECT_EQ(rawValue(SpeedSkip::hotspot), "phone hotspot");
  EXPECT_EQ(rawValue(SpeedSkip::lowData), "Low Data Mode");
  EXPECT_EQ(rawValue(SpeedSkip::running), "a test is running");
  EXPECT_EQ(rawValue(SpeedSkip::busy), "line busy");
}

}  // namespace
}  // namespace kelvane
