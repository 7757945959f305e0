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

TEST(LimitsPicker, ItemsAddTheCurrentValueInOrderAndClampedBoundsIt) {
  using Values = std::vector<double>;
  EXPECT_EQ(Limits::items(LimitField::windowIdle, 7200), Limits::steps(LimitField::windowIdle));
  EXPECT_EQ(Limits::items(LimitField::windowIdle, 5400),
            (Values{1800, 3600, 5400, 7200, 14400, 28800, 86400, 604800}));
  EXPECT_EQ(Limits::items(LimitField::cpuHogWindow, 60), (Values{60, 300, 600, 900, 1800, 3600}));
  EXPECT_EQ(Limits::items(LimitField::tabIdle, 1209600).back(), 1209600);
  EXPECT_EQ(Limits::items(LimitField::cpuHogShare, 0.8), Values{0.8});
  EXPECT_EQ((Values{Limits::clamped(10), Limits::clamped(2592000), Limits::clamped(NAN)}),
            (Values{60, 604800, 60}));
}

TEST(LimitsFields, AtNamesEachSettingInStoredOrder) {
  Limits limits{61, 62, 63, 64, 65, 66, 67, 68, 1.5, false};
  for (size_t i = 0; i < Limits::allFields.size(); ++i)
    EXPECT_EQ(limits.at(Limits::allFields[i]), i < 8 ? 61.0 + i : 1.5) << i;
  limits.at(LimitField::cpuHogWindow) = 900;
  EXPECT_EQ(limits.cpuHogWindow, 900);
}

TEST(LimitsJson, ClampsAndReplacesDamagedValues) {
  const auto read = [](const char* text) { return nlohmann::json::parse(text).get<Limits>(); };
  EXPECT_EQ(
      read(R"({"windowIdle":10,"tabIdle":1e9,"sessionIdle":"x","cpuHogShare":0.01})"),
      (Limits{.windowIdle = 60, .tabIdle = 2592000, .cpuHogShare = 0.05, .decodeIssues = true}));
  for (const char* text : {R"({"cpuHogShare":65})", R"({"appUnused":null})", "[]"})
    EXPECT_TRUE(read(text).decodeIssues) << text;
  // The bounds themselves are fine.
  EXPECT_EQ(read(R"({"windowIdle":60,"tabIdle":2592000,"cpuHogShare":64})"),
            (Limits{.windowIdle = 60, .tabIdle = 2592000, .cpuHogShare = 64}));
}

TEST(UsageAlerts, ReadsLenientlyAndLabelsCores) {
  const auto read = [](const char* text) { return nlohmann::json::parse(text).get<UsageAlerts>(); };
  EXPECT_EQ(read(R"({"appCPUCores":0.1,"appCPUWindow":7200,"never":["Xcode",1]})"),
            (UsageAlerts{true, {"Xcode"}, 0.5, 3600, true}));
  EXPECT_EQ(read(R"({"on":"no"})"), (UsageAlerts{true, {}, 2, 600, true}));
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
  for (const char* text : {R"("Live")", "1"}) EXPECT_EQ(decodeJson<RunMode>(text), std::nullopt);
}

}  // namespace
}  // namespace kelvane
