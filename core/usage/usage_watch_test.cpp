#include "core/usage/usage_watch.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

const Date kStart = *Date::fromISO8601("2026-06-10T10:00:00Z");  // 12:00 in Berlin
const std::string kBig = "com.example.Big";
const std::string kPressure = "pressure";
using Kinds = std::vector<UsageAlert::Kind>;
using Times = std::map<std::string, Date>;
const auto kMemory = UsageAlert::Kind::memory();
const auto kCPU = UsageAlert::Kind::cpu();
const auto pressure = UsageAlert::Kind::pressure;

// Two regular applications and a larger accessory one, evaluated with the
// state kept in between. Big's memory is bigMemory plus 10 for its helper.
struct Watch {
  uint64_t bigMemory = 300;
  int64_t level = 1;
  uint64_t memTotal = 1000;
  double bigCores = 0;  // Big's own CPU use over the last 600 s.
  Config config = Config::fresh(kStart);
  UsageWatchState state;
  Calendar calendar = Calendar::named("Europe/Berlin").value();

  std::vector<UsageAlert> at(Date now) {
    Snapshot s{.at = now, .health = {.pressure = level, .memTotal = memTotal}};
    s.apps = {{10, kBig, "Big", "/A/Big.app"},
              {20, {}, "Editor"},
              {30, {}, "Menu", {}, AppPolicy::accessory}};
    s.procs = {{.pid = 30, .rss = 900},
               {.pid = 20, .rss = 100},
               {.pid = 10, .path = "/A/Big.app/Big", .rss = bigMemory},
               {.pid = 11, .path = "/A/Big.app/Helper", .rss = 10}};
    Activity activity;
    activity.cpu[10] = {{.at = now - 600, .cpu = 0}, {.at = now, .cpu = bigCores * 600}};
    auto result = UsageWatch::evaluate(s, activity, config, state, calendar);
    state = std::move(result.state);
    return result.alerts;
  }
  Kinds kindsAt(Date now) {
    Kinds out;
    for (const auto& alert : at(now)) out.push_back(alert.kind);
    return out;
  }
};

TEST(UsageWatchMemory, AlertsAfterTenMinutesAtAQuarterWithoutFiveMinuteGaps) {
  Watch watch;
  for (const double t : {0, 300, 599}) EXPECT_EQ(watch.kindsAt(kStart + t), Kinds{}) << t;
  EXPECT_EQ(watch.at(kStart + 600),
            (std::vector<UsageAlert>{{kMemory, kBig, "Big", 10, 0, 310, 0.31}}));
  Watch gap{.bigMemory = 240};  // exactly a quarter with the helper
  for (const double t : {0, 301, 600, 900}) EXPECT_EQ(gap.kindsAt(kStart + t), Kinds{}) << t;
  EXPECT_EQ(gap.kindsAt(kStart + 901), Kinds{kMemory});
  gap.bigMemory = 239;
  gap.at(kStart + 1000);
  EXPECT_EQ(gap.state.highSince, Times{});
  gap.bigMemory = 300;  // a clock set back by more than five minutes restarts the streak
  gap.at(kStart + 1100);
  gap.at(kStart + 700);
  EXPECT_EQ(gap.state.highSince, (Times{{kBig, kStart + 700}}));
}

TEST(UsageWatch, OneAlertPerApplicationAndHourWhateverTheKind) {
  Watch watch{.bigCores = 3};  // above the default of 2 cores
  EXPECT_EQ(watch.kindsAt(kStart), Kinds{kCPU});
  for (double t = 300; t < 3600; t += 300) EXPECT_EQ(watch.kindsAt(kStart + t), Kinds{}) << t;
  EXPECT_EQ(watch.kindsAt(kStart + 3599), Kinds{});
  EXPECT_EQ(watch.kindsAt(kStart + 3600), Kinds{kMemory});  // memory comes before CPU
  watch.bigMemory = 0;
  EXPECT_EQ(watch.kindsAt(kStart + 7199), Kinds{});
  EXPECT_EQ(watch.at(kStart + 7200),
            (std::vector<UsageAlert>{{kCPU, kBig, "Big", 10, 3, 10, 0.01}}));
}

TEST(UsageWatchPressure, AlertsWhenTheLevelRisesAboveTheHoursHighest) {
  Watch watch{.bigMemory = 85};  // Editor is the largest regular application; Menu is none
  const std::pair<int64_t, Kinds> steps[] = {
      {1, {}}, {2, {pressure(2)}}, {2, {}}, {4, {pressure(4)}}, {2, {}}, {4, {}}};
  for (size_t i = 0; i < std::size(steps); ++i) {
    watch.level = steps[i].first;
    EXPECT_EQ(watch.kindsAt(kStart + 60.0 * i), steps[i].second) << "step " << i;
  }
  EXPECT_EQ(watch.state.lastAlert, (Times{{"Editor", kStart + 180}, {kPressure, kStart + 180}}));
  watch.level = 1;
  watch.at(kStart + 3600);
  watch.level = 2;  // an hour after the last pressure alert its level is forgotten
  EXPECT_EQ(watch.at(kStart + 3780),
            (std::vector<UsageAlert>{{pressure(2), "Editor", "Editor", 20, 0, 100, 0.1}}));
}

TEST(UsageWatchQuiet, SilencesUntilLocalMidnight) {
  Watch watch;
  watch.state = UsageWatch::quietForToday(kPressure, {.pressure = 4}, kStart, watch.calendar);
  EXPECT_EQ(watch.state.quietUntil.at(kPressure).iso8601(), "2026-06-10T22:00:00Z");
  watch.state.pressure = 1;
  watch.level = 4;
  EXPECT_EQ(watch.kindsAt(kStart + 60), Kinds{});
  watch.level = 5;
  EXPECT_EQ(watch.kindsAt(kStart + 120), Kinds{pressure(5)});

  Watch app;  // no level known: pressure is silenced up to 2
  app.state = UsageWatch::quietForToday(kPressure, {}, kStart, app.calendar);
  app.state = UsageWatch::quietForToday(kBig, app.state, kStart, app.calendar);
  EXPECT_EQ(app.state.quietPressureLevel, 2);
  app.level = 2;
  for (double t = 0; t < 43200; t += 300) EXPECT_EQ(app.kindsAt(kStart + t), Kinds{}) << t;
  EXPECT_EQ(app.kindsAt(kStart + 43200), Kinds{kMemory});  // 00:00 in Berlin
  EXPECT_EQ(app.state.quietPressureLevel, std::nullopt);
  app.level = 3;
  EXPECT_EQ(app.kindsAt(kStart + 43260), Kinds{pressure(3)});
}

TEST(UsageWatch, NeverListedOffOrUnknownMemoryMakeNoAlerts) {
  Watch never{.level = 4, .bigCores = 8};
  never.config.usageAlerts.never = {kBig, kPressure};
  for (const double t : {0, 300, 600}) EXPECT_EQ(never.kindsAt(kStart + t), Kinds{}) << t;
  for (const bool off : {true, false}) {
    // A memory streak is under way; alerts off or an unknown memory size ends it.
    Watch watch{.level = 4, .memTotal = off ? 1000u : 0u, .bigCores = 8};
    watch.state = {.highSince = {{kBig, kStart}}, .lastEvaluated = kStart};
    watch.config.usageAlerts.on = !off;
    EXPECT_EQ(watch.kindsAt(kStart + 600), Kinds{}) << off;
    EXPECT_EQ(watch.state, (UsageWatchState{.lastEvaluated = kStart + 600, .pressure = 4}));
  }
}

TEST(UsageWatch, ExpiresSilencesAndAlertsAtTheirBoundaries) {
  Watch watch{.bigMemory = 0};
  watch.state = {
      .lastAlert = {{"a", kStart - 3600}, {"b", kStart - 3599}, {kPressure, kStart - 3600}},
      .quietUntil = {{"c", kStart}, {"d", kStart + 1}},
      .alertedLevel = 4,
      .quietPressureLevel = 3};
  watch.at(kStart);
  EXPECT_EQ(watch.state, (UsageWatchState{.lastAlert = {{"b", kStart - 3599}},
                                          .quietUntil = {{"d", kStart + 1}},
                                          .lastEvaluated = kStart,
                                          .pressure = 1}));
  EXPECT_EQ(UsageWatch::appKey({.bundleID = "com.x", .name = "X"}), "com.x");
  EXPECT_EQ(UsageWatch::appKey({.bundleID = "", .name = "X"}), "X");
}

}  // namespace
}  // namespace kelvane
