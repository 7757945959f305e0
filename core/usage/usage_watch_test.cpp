#include "core/usage/usage_watch.h"

#include <ostream>

#include <gtest/gtest.h>

namespace kelvane {

void PrintTo(const Date& date, std::ostream* os) { *os << date.iso8601(); }
void PrintTo(const UsageAlert& a, std::ostream* os) {
  *os << "{kind " << int(a.kind.which) << "/" << a.kind.level << ", " << a.app << ", " << a.name
      << ", pid " << a.pid << ", cpu " << a.cpu << ", bytes " << a.bytes << ", ofRAM " << a.ofRAM
      << "}";
}

namespace {

const Date kStart = *Date::fromISO8601("2026-06-10T10:00:00Z");
constexpr uint64_t kRAM = 1000;
const std::string kBig = "com.example.Big";
const std::string kPressure = "pressure";

// A machine with two regular applications and one accessory that uses the most.
struct Machine {
  uint64_t bigMemory = 300;  // Big's main process; its helper adds 10.
  int64_t pressure = 1;
  uint64_t memTotal = kRAM;
  double bigCores = 0;  // CPU use of Big's own process over the last 600 s.

  Snapshot at(Date now) const {
    Snapshot s;
    s.at = now;
    s.health = {.pressure = pressure, .memTotal = memTotal};
    s.apps = {{.pid = 10, .bundleID = kBig, .name = "Big", .bundlePath = "/A/Big.app"},
              {.pid = 20, .name = "Editor"},
              {.pid = 30, .name = "Menu", .policy = AppPolicy::accessory}};
    s.procs = {{.pid = 30, .path = "/opt/menu", .rss = 900},
               {.pid = 20, .path = "/opt/editor", .rss = 100},
               {.pid = 10, .path = "/A/Big.app/Contents/MacOS/Big", .rss = bigMemory},
               {.pid = 11, .path = "/A/Big.app/Contents/MacOS/Helper", .rss = 10}};
    return s;
  }
  Activity activity(Date now) const {
    Activity a;
    a.cpu[10] = {{.at = now - 600, .cpu = 0}, {.at = now, .cpu = bigCores * 600}};
    return a;
  }
};

// Runs evaluations against one machine, keeping the state in between.
struct Watch {
  Machine machine;
  Config config = Config::fresh(kStart);
  UsageWatchState state;
  Calendar calendar = Calendar::named("Europe/Berlin").value_or(Calendar::utc());

  std::vector<UsageAlert> at(Date now) {
    auto result =
        UsageWatch::evaluate(machine.at(now), machine.activity(now), config, state, calendar);
    state = std::move(result.state);
    return result.alerts;
  }
  std::vector<UsageAlert::Kind> kindsAt(Date now) {
    std::vector<UsageAlert::Kind> out;
    for (const auto& alert : at(now)) out.push_back(alert.kind);
    return out;
  }
};

using Kinds = std::vector<UsageAlert::Kind>;
const auto kMemory = UsageAlert::Kind::memory();
const auto kCPU = UsageAlert::Kind::cpu();
const auto pressure = UsageAlert::Kind::pressure;

TEST(UsageWatchMemory, AlertsAfterTenMinutesAboveAQuarterWithoutGaps) {
  Watch watch;
  EXPECT_EQ(watch.kindsAt(kStart), Kinds{});
  EXPECT_EQ(watch.state.highSince, (std::map<std::string, Date>{{kBig, kStart}}));
  EXPECT_EQ(watch.kindsAt(kStart + 300), Kinds{});
  EXPECT_EQ(watch.kindsAt(kStart + 599), Kinds{});
  const auto alerts = watch.at(kStart + 600);
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0], (UsageAlert{.kind = kMemory,
                                   .app = kBig,
                                   .name = "Big",
                                   .pid = 10,
                                   .cpu = 0,
                                   .bytes = 310,
                                   .ofRAM = 0.31}));
  EXPECT_EQ(watch.state.lastAlert.at(kBig), kStart + 600);
}

TEST(UsageWatchMemory, AGapOfMoreThanFiveMinutesRestartsTheStreak) {
  Watch watch;
  watch.at(kStart);
  EXPECT_EQ(watch.kindsAt(kStart + 301), Kinds{});
  EXPECT_EQ(watch.state.highSince.at(kBig), kStart + 301);
  EXPECT_EQ(watch.kindsAt(kStart + 600), Kinds{});
  EXPECT_EQ(watch.kindsAt(kStart + 900), Kinds{});
  EXPECT_EQ(watch.kindsAt(kStart + 901), Kinds{kMemory});
  // A clock set back by more than the gap breaks the streak as well.
  Watch back;
  back.at(kStart);
  back.at(kStart - 400);
  EXPECT_EQ(back.state.highSince.at(kBig), kStart - 400);
}

TEST(UsageWatchMemory, ExactlyAQuarterCountsAndDroppingBelowEndsTheStreak) {
  Watch watch;
  watch.machine.bigMemory = 240;  // 250 with the helper
  watch.at(kStart);
  EXPECT_TRUE(watch.state.highSince.contains(kBig));
  watch.machine.bigMemory = 239;
  watch.at(kStart + 300);
  EXPECT_TRUE(watch.state.highSince.empty());
  watch.machine.bigMemory = 300;
  EXPECT_EQ(watch.kindsAt(kStart + 600), Kinds{});
  EXPECT_EQ(watch.state.highSince.at(kBig), kStart + 600);
}

TEST(UsageWatch, OneAlertPerApplicationAndHourWhateverTheKind) {
  Watch watch;
  watch.machine.bigCores = 3;  // above the default of 2 cores
  EXPECT_EQ(watch.kindsAt(kStart), Kinds{kCPU});
  // Still high on memory and CPU: quiet for the hour, then the streak's memory alert.
  for (double t = 300; t < 3600; t += 300) EXPECT_EQ(watch.kindsAt(kStart + t), Kinds{}) << t;
  EXPECT_EQ(watch.kindsAt(kStart + 3599), Kinds{});
  EXPECT_EQ(watch.kindsAt(kStart + 3600), Kinds{kMemory});
  EXPECT_EQ(watch.kindsAt(kStart + 7199), Kinds{});
  watch.machine.bigMemory = 0;
  const auto alerts = watch.at(kStart + 7200);
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0].kind, kCPU);
  EXPECT_DOUBLE_EQ(alerts[0].cpu, 3);
}

TEST(UsageWatchPressure, AlertsWhenTheLevelRisesAboveTheHoursHighest) {
  Watch watch;
  watch.machine.bigMemory = 100;
  const std::pair<int64_t, Kinds> steps[] = {
      {1, {}}, {2, {pressure(2)}}, {2, {}}, {4, {pressure(4)}}, {2, {}}, {4, {}}, {1, {}},
  };
  Date now = kStart;
  for (const auto& [level, kinds] : steps) {
    watch.machine.pressure = level;
    EXPECT_EQ(watch.kindsAt(now), kinds) << "level " << level << " at " << now.iso8601();
    now = now + 60;
  }
  EXPECT_EQ(watch.state.alertedLevel, 4);
  // An hour after the last pressure alert the highest level is forgotten.
  watch.machine.pressure = 2;
  EXPECT_EQ(watch.kindsAt(kStart + 180 + 3600), Kinds{pressure(2)});
}

TEST(UsageWatchPressure, NamesTheLargestRegularApplication) {
  Watch watch;
  watch.machine.pressure = 3;    // no previous level: the first evaluation may alert
  watch.machine.bigMemory = 85;  // 95 with its helper
  const auto alerts = watch.at(kStart);
  ASSERT_EQ(alerts.size(), 1u);
  EXPECT_EQ(alerts[0],
            (UsageAlert{.kind = pressure(3),
                        .app = "Editor",  // the accessory Menu is larger but not a candidate
                        .name = "Editor",
                        .pid = 20,
                        .bytes = 100,
                        .ofRAM = 0.1}));
  EXPECT_EQ(watch.state.lastAlert,
            (std::map<std::string, Date>{{"Editor", kStart}, {kPressure, kStart}}));
  // The named application has had its alert for the hour.
  watch.machine.pressure = 1;
  watch.config.usageAlerts.appCPUCores = 0.5;
  watch.machine.bigCores = 1;
  EXPECT_EQ(watch.at(kStart + 60).size(), 1u);  // Big's CPU, not Editor
}

TEST(UsageWatchQuiet, PressureSilencedUpToTheLevelForTheRestOfTheDay) {
  Watch watch;
  watch.machine.pressure = 4;
  watch.state = UsageWatch::quietForToday(kPressure, {.pressure = 4}, kStart, watch.calendar);
  EXPECT_EQ(watch.state.quietUntil.at(kPressure), *Date::fromISO8601("2026-06-10T22:00:00Z"));
  EXPECT_EQ(watch.state.quietPressureLevel, 4);
  watch.state.pressure = 1;
  EXPECT_EQ(watch.kindsAt(kStart + 60), Kinds{});
  watch.machine.pressure = 5;
  EXPECT_EQ(watch.kindsAt(kStart + 120), Kinds{pressure(5)});
  // After local midnight the silence and its level are gone.
  Watch later;
  later.state = UsageWatch::quietForToday(kPressure, {}, kStart, later.calendar);
  EXPECT_EQ(later.state.quietPressureLevel, 2);
  later.machine.pressure = 2;
  EXPECT_EQ(later.kindsAt(kStart + 60), Kinds{});
  later.machine.pressure = 1;
  later.at(kStart + 43199);
  later.machine.pressure = 2;
  EXPECT_EQ(later.kindsAt(kStart + 43200), Kinds{pressure(2)});
  EXPECT_EQ(later.state.quietPressureLevel, std::nullopt);
}

TEST(UsageWatchQuiet, AnApplicationSilencedUntilMidnightAndNeverListed) {
  Watch watch;
  watch.state = UsageWatch::quietForToday(kBig, {}, kStart, watch.calendar);
  EXPECT_EQ(watch.state.quietPressureLevel, std::nullopt);
  for (double t = 0; t < 43200; t += 300) EXPECT_EQ(watch.kindsAt(kStart + t), Kinds{}) << t;
  EXPECT_EQ(watch.kindsAt(kStart + 43200), Kinds{kMemory});  // 00:00 in Berlin

  Watch never;
  never.config.usageAlerts.never = {kBig, kPressure};
  never.machine.pressure = 4;
  never.machine.bigCores = 8;
  for (double t = 0; t <= 1200; t += 300) EXPECT_EQ(never.kindsAt(kStart + t), Kinds{}) << t;
}

TEST(UsageWatchQuiet, NextMidnightOnDaylightSavingDays) {
  const std::tuple<const char*, const char*, const char*> cases[] = {
      {"Europe/Berlin", "2026-03-29T10:00:00Z", "2026-03-29T22:00:00Z"},
      {"Europe/Berlin", "2026-10-25T10:00:00Z", "2026-10-25T23:00:00Z"},
      {"America/New_York", "2026-03-08T12:00:00Z", "2026-03-09T04:00:00Z"},
      {"America/New_York", "2026-11-01T12:00:00Z", "2026-11-02T05:00:00Z"},
  };
  for (const auto& [zone, now, midnight] : cases) {
    const auto state =
        UsageWatch::quietForToday("x", {}, *Date::fromISO8601(now), Calendar::named(zone).value());
    EXPECT_EQ(state.quietUntil.at("x").iso8601(), midnight) << zone << " " << now;
  }
}

TEST(UsageWatch, AlertsOffOrUnknownMemoryStillTrackPressure) {
  for (const bool off : {true, false}) {
    Watch watch;
    watch.at(kStart);
    ASSERT_FALSE(watch.state.highSince.empty());
    watch.config.usageAlerts.on = !off;
    watch.machine.memTotal = off ? kRAM : 0;
    watch.machine.pressure = 4;
    watch.machine.bigCores = 8;
    EXPECT_EQ(watch.kindsAt(kStart + 600), Kinds{}) << off;
    EXPECT_TRUE(watch.state.highSince.empty());
    EXPECT_EQ(watch.state.pressure, 4);
    EXPECT_EQ(watch.state.lastEvaluated, kStart + 600);
  }
}

TEST(UsageWatch, ExpiresSilencesAndAlertsAtTheirBoundaries) {
  Watch watch;
  watch.machine.bigMemory = 0;
  watch.state = {
      .lastAlert = {{"a", kStart - 3600}, {"b", kStart - 3599}, {kPressure, kStart - 3600}},
      .quietUntil = {{"c", kStart}, {"d", kStart + 1}},
      .alertedLevel = 4,
      .quietPressureLevel = 3};
  watch.at(kStart);
  EXPECT_EQ(watch.state.lastAlert, (std::map<std::string, Date>{{"b", kStart - 3599}}));
  EXPECT_EQ(watch.state.quietUntil, (std::map<std::string, Date>{{"d", kStart + 1}}));
  EXPECT_EQ(watch.state.alertedLevel, std::nullopt);
  EXPECT_EQ(watch.state.quietPressureLevel, std::nullopt);
}

TEST(UsageWatchAppKey, BundleIdentifierElseName) {
  EXPECT_EQ(UsageWatch::appKey({.bundleID = "com.x", .name = "X"}), "com.x");
  EXPECT_EQ(UsageWatch::appKey({.name = "X"}), "X");
  EXPECT_EQ(UsageWatch::appKey({.bundleID = "", .name = "X"}), "X");
}

}  // namespace
}  // namespace kelvane
