#include "core/usage/usage.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

const Date kNow = *Date::fromISO8601("2026-06-10T12:00:00Z");
const std::string kBundle = "/Applications/Big.app";

TEST(Usage, GroupsAndTheirCPUNeedTheApplicationsOwnMeasurement) {
  Snapshot s{.at = kNow};
  s.apps = {{.pid = 10, .name = "Big", .bundlePath = kBundle},
            {.pid = 20, .name = "Small"},
            {.pid = 99, .name = "Gone"}};
  s.procs = {{.pid = 20, .path = "/opt/small", .rss = 5},
             {.pid = 11, .path = kBundle + "/Contents/MacOS/Helper", .rss = 300},
             {.pid = 10, .path = kBundle + "/Contents/MacOS/Big", .rss = 700},
             {.pid = 12, .path = kBundle + "/Contents/XPC/Other", .rss = 1},
             {.pid = 30, .path = "/usr/sbin/daemon", .rss = 50}};
  EXPECT_EQ(Usage::appGroups(s), (std::vector<AppGroup>{{.pid = 20, .pids = {20}, .memory = 5},
                                                        {10, {10, 11, 12}, 1001}}));
  Activity activity;
  const auto at = [](double ago, double cpu) { return CPUSample{.at = kNow - ago, .cpu = cpu}; };
  activity.cpu[10] = {at(90, 0), at(60, 1), at(0, 31)};  // 30 s over the last minute
  activity.cpu[11] = {at(30, 1), at(0, 4)};              // only 3 s measured inside it
  activity.cpu[20] = {at(30, 0), at(0, 9)};              // too short for a measurement
  EXPECT_EQ(Usage::apps(s, activity),
            (std::map<int32_t, AppUsage>{{10, {33.0 / 60, 1001}}, {20, {std::nullopt, 5}}}));
  const AppGroup big{.pid = 10, .pids = {10, 11, 12}};
  for (const double window : {0.0, -60.0, double(NAN), double(INFINITY)})
    EXPECT_EQ(Usage::cores(big, activity, window, kNow), std::nullopt) << window;
}

TEST(Usage, SumsAndPercentText) {
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ(Usage::sum({{.cpu = 0.5, .memory = 10}, {.memory = 5}, {.cpu = 0.25, .memory = 1}}),
            (AppUsage{.cpu = 0.75, .memory = 16}));
  EXPECT_EQ(Usage::sum({{.memory = kMax - 1}, {.memory = 2}}),
            (AppUsage{.cpu = 0, .memory = kMax}));
  EXPECT_EQ(Usage::cpuText(std::nullopt), "—");
  EXPECT_EQ(Usage::cpuText(0.256), "26%");
  EXPECT_EQ(Usage::cpuText(3.5), "350%");
  EXPECT_EQ(Usage::cpuText(NAN), "—");
  EXPECT_EQ(Usage::cpuText(std::numeric_limits<double>::max()), "—");
}

}  // namespace
}  // namespace kelvane
