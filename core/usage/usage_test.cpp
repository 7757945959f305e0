#include "core/usage/usage.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

const Date kNow = *Date::fromISO8601("2026-06-10T12:00:00Z");
const std::string kBundle = "/Applications/Big.app";

Snapshot desktop() {
  Snapshot s;
  s.at = kNow;
  s.apps = {{.pid = 10, .bundleID = "com.example.Big", .name = "Big", .bundlePath = kBundle},
            {.pid = 20, .name = "Small"},
            {.pid = 99, .name = "Gone"}};
  s.procs = {{.pid = 20, .name = "Small", .path = "/opt/small", .rss = 5},
             {.pid = 11, .name = "Helper", .path = kBundle + "/Contents/MacOS/Helper", .rss = 300},
             {.pid = 10, .name = "Big", .path = kBundle + "/Contents/MacOS/Big", .rss = 700},
             {.pid = 12, .name = "Other", .path = kBundle + "/Contents/XPC/Other", .rss = 1},
             {.pid = 30, .name = "daemon", .path = "/usr/sbin/daemon", .rss = 50}};
  return s;
}

std::vector<CPUSample> samples(std::initializer_list<std::pair<double, double>> agoAndCPU) {
  std::vector<CPUSample> out;
  for (const auto& [ago, cpu] : agoAndCPU) out.push_back({.at = kNow - ago, .cpu = cpu});
  return out;
}

TEST(UsageAppGroups, OneEntryPerApplicationInProcessOrder) {
  EXPECT_EQ(Usage::appGroups(desktop()),
            (std::vector<AppGroup>{{.pid = 20, .pids = {20}, .memory = 5},
                                   {.pid = 10, .pids = {10, 11, 12}, .memory = 1001}}));
  EXPECT_TRUE(Usage::appGroups(Snapshot()).empty());
}

TEST(UsageApps, GroupCPUNeedsTheApplicationsOwnMeasurement) {
  Activity activity;
  activity.cpu[10] = samples({{90, 0}, {60, 1}, {0, 31}});  // 30 s over the last minute
  activity.cpu[11] = samples({{30, 1}, {0, 4}});            // only 3 s measured inside it
  activity.cpu[20] = samples({{30, 0}, {0, 9}});            // too short for a measurement
  const auto usage = Usage::apps(desktop(), activity);
  EXPECT_EQ(usage, (std::map<int32_t, AppUsage>{{10, {.cpu = 33.0 / 60, .memory = 1001}},
                                                {20, {.cpu = std::nullopt, .memory = 5}}}));
}

TEST(UsageCores, WindowMustBePositive) {
  Activity activity;
  activity.cpu[10] = samples({{600, 10}, {0, 13}});
  const AppGroup group{.pid = 10, .pids = {10, 11}};
  EXPECT_EQ(Usage::cores(group, activity, 600, kNow), 3.0 / 600);
  for (const double window : {0.0, -60.0, double(NAN), double(INFINITY)})
    EXPECT_EQ(Usage::cores(group, activity, window, kNow), std::nullopt) << window;
}

TEST(UsageSum, AddsKnownCPUAndSaturatesMemory) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(Usage::sum({{.cpu = 0.5, .memory = 10}, {.memory = 5}, {.cpu = 0.25, .memory = 1}}),
            (AppUsage{.cpu = 0.75, .memory = 16}));
  EXPECT_EQ(Usage::sum({{.memory = kMax - 1}, {.memory = 2}}),
            (AppUsage{.cpu = 0, .memory = kMax}));
  EXPECT_EQ(Usage::sum({}), (AppUsage{.cpu = 0, .memory = 0}));
}

TEST(UsageCPUText, PercentOrDash) {
  EXPECT_EQ(Usage::cpuText(std::nullopt), "—");
  EXPECT_EQ(Usage::cpuText(0.256), "26%");
  EXPECT_EQ(Usage::cpuText(0), "0%");
  EXPECT_EQ(Usage::cpuText(3.5), "350%");
  EXPECT_EQ(Usage::cpuText(NAN), "—");
  EXPECT_EQ(Usage::cpuText(std::numeric_limits<double>::max()), "—");
}

}  // namespace
}  // namespace kelvane
