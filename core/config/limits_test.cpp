#include "core/config/limits.h"

#include <cmath>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/config/run_mode.h"
#include "core/config/usage_alerts.h"
#include "core/support/json_coding.h"

namespace kelvane {
namespace {

TEST(LimitsLabel, LargestDividingUnitElseDuration) {
  const std::pair<double, const char*> cases[] = {
      {60, "1 minute"},     {120, "2 minutes"},   {3540, "59 minutes"},
      {3600, "1 hour"},     {7200, "2 hours"},    {5400, "1h 30m"},
      {86400, "1 day"},     {259200, "3 days"},   {604800, "1 week"},
      {1209600, "2 weeks"}, {2592000, "30 days"}, {90, "1m"},
      {90.5, "1m"},         {3600.5, "1h 00m"},   {0, "0s"},
      {-3600, "0s"},
  };
  for (const auto& [seconds, text] : cases) EXPECT_EQ(Limits::label(seconds), text) << seconds;
}

TEST(LimitsPicker, ItemsAddTheCurrentValueInOrder) {
  const auto steps = Limits::steps(LimitField::windowIdle);
  EXPECT_EQ(Limits::items(LimitField::windowIdle, 7200), steps);
  EXPECT_EQ(Limits::items(LimitField::windowIdle, 5400),
            (std::vector<double>{1800, 3600, 5400, 7200, 14400, 28800, 86400, 604800}));
  EXPECT_EQ(Limits::items(LimitField::cpuHogWindow, 60),
            (std::vector<double>{60, 300, 600, 900, 1800, 3600}));
  EXPECT_EQ(Limits::items(LimitField::tabIdle, 1209600).back(), 1209600);
  EXPECT_EQ(Limits::items(LimitField::cpuHogShare, 0.8), std::vector<double>{0.8});
  EXPECT_EQ(Limits::clamped(10), 60);
  EXPECT_EQ(Limits::clamped(2592000), 604800);
  EXPECT_EQ(Limits::clamped(NAN), 60);
}

TEST(LimitsFields, AtNamesEachSettingInStoredOrder) {
  Limits limits{61, 62, 63, 64, 65, 66, 67, 68, 1.5, false};
  const double expected[] = {61, 62, 63, 64, 65, 66, 67, 68, 1.5};
  for (size_t i = 0; i < Limits::allFields.size(); ++i)
    EXPECT_EQ(limits.at(Limits::allFields[i]), expected[i]) << i;
  limits.at(LimitField::cpuHogWindow) = 900;
  EXPECT_EQ(limits.cpuHogWindow, 900);
}

TEST(LimitsJson, ClampsAndReplacesDamagedValues) {
  const auto read = [](const char* text) { return nlohmann::json::parse(text).get<Limits>(); };
  auto limits = read(R"({"windowIdle":10,"tabIdle":1e9,"sessionIdle":"x","cpuHogShare":0.01})");
  EXPECT_EQ(limits.windowIdle, 60);
  EXPECT_EQ(limits.tabIdle, 2592000);
  EXPECT_EQ(limits.sessionIdle, 3600);
  EXPECT_EQ(limits.cpuHogShare, 0.05);
  EXPECT_EQ(limits.appUnused, 14400);
  EXPECT_TRUE(limits.decodeIssues);
  EXPECT_TRUE(read(R"({"cpuHogShare":65})").decodeIssues);
  EXPECT_TRUE(read(R"({"appUnused":null})").decodeIssues);
  EXPECT_TRUE(read("[]").decodeIssues);
  limits = read(R"({"windowIdle":60,"tabIdle":2592000,"cpuHogShare":64})");
  EXPECT_FALSE(limits.decodeIssues);  // the bounds themselves are fine
  EXPECT_EQ(limits.tabIdle, 2592000);
}

TEST(UsageAlertsJson, ClampsAndDefaults) {
  const auto read = [](const char* text) { return nlohmann::json::parse(text).get<UsageAlerts>(); };
  auto alerts = read(R"({"appCPUCores":0.1,"appCPUWindow":7200,"never":["Xcode",1]})");
  EXPECT_EQ(alerts.appCPUCores, 0.5);
  EXPECT_EQ(alerts.appCPUWindow, 3600);
  EXPECT_EQ(alerts.never, std::vector<std::string>{"Xcode"});
  EXPECT_TRUE(alerts.on);
  EXPECT_TRUE(alerts.decodeIssues);
  EXPECT_EQ(read(R"({"on":"no"})"), (UsageAlerts{true, {}, 2, 600, true}));
}

TEST(UsageAlertsLabel, WholeCountsAndShortestDecimals) {
  EXPECT_EQ(UsageAlerts::coresLabel(1), "1 core");
  EXPECT_EQ(UsageAlerts::coresLabel(2), "2 cores");
  EXPECT_EQ(UsageAlerts::coresLabel(0.5), "0.5 cores");
  EXPECT_EQ(UsageAlerts::coresLabel(0.1), "0.1 cores");
}

TEST(RunModeJson, CodesAsItsTextAndRejectsOthers) {
  for (const auto mode :
       {RunMode::live, RunMode::learning, RunMode::cancelled, RunMode::paused, RunMode::held})
    EXPECT_EQ(decodeJson<RunMode>(*encodeValue(mode)), mode);
  EXPECT_EQ(nlohmann::json(RunMode::cancelled), "cancelled");
  EXPECT_EQ(decodeJson<RunMode>(R"("Live")"), std::nullopt);
  EXPECT_EQ(decodeJson<RunMode>("1"), std::nullopt);
}

}  // namespace
}  // namespace kelvane
