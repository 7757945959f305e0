#include "core/config/config.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

const Date kNow = *Date::fromISO8601("2026-03-01T12:00:00Z");

Config read(const char* text) {
  const auto config = Config::fromJSON(std::string_view(text), kNow);
  EXPECT_TRUE(config) << text;
  return config.value_or(Config());
}

using Strings = std::vector<std::string>;

TEST(ConfigRead, EmptyObjectIsFreshButFlagsTheMissingLearningEnd) {
  const Config config = read("{}");
  EXPECT_EQ(config, Config::fresh(kNow));
  EXPECT_EQ(config.learningUntil, kNow + 86400);
  EXPECT_TRUE(config.decodeIssues);
  EXPECT_EQ(config.browsers, (Strings{"com.google.Chrome", "com.google.Chrome.canary"}));
  EXPECT_EQ(config.projectRoots, Strings{"~/Projects"});
  EXPECT_EQ(config.sslNeverHosts.size(), 6u);
}

TEST(ConfigRead, OnlyATopLevelObjectIsAConfiguration) {
  for (const char* text : {"[]", "null", "3", "\"{}\"", "not json", "{\"a\":", ""})
    EXPECT_EQ(Config::fromJSON(std::string_view(text), kNow), std::nullopt) << text;
  EXPECT_EQ(Config::fromJSON(nlohmann::json::array(), kNow), std::nullopt);
}

TEST(ConfigRead, ClampsCountsAndReplacesDamagedOnes) {
  const std::tuple<const char*, int64_t, int64_t, bool> cases[] = {
      // text, scheduleMinutes, speedTestBudgetGB, issue
      {R"({"scheduleMinutes":0})", 1, 200, true},
      {R"({"scheduleMinutes":"x"})", 15, 200, true},
      {R"({"scheduleMinutes":1441})", 1440, 200, true},
      {R"({"scheduleMinutes":30.0})", 30, 200, false},
      {R"({"scheduleMinutes":7.5})", 15, 200, true},
      {R"({"speedTestBudgetGB":0})", 15, 1, true},
      {R"({"speedTestBudgetGB":18446744073709551615})", 15, 10000, true},
      {R"({"speedTestBudgetGB":-3})", 15, 1, true},
      {R"({"speedTestBudgetGB":10000})", 15, 10000, false},
  };
  for (const auto& [text, minutes, budget, issue] : cases) {
    auto j = nlohmann::json::parse(text);
    j["learningUntil"] = "2026-03-02T00:00:00Z";
    const auto config = Config::fromJSON(j, kNow);
    ASSERT_TRUE(config);
    EXPECT_EQ(config->scheduleMinutes, minutes) << text;
    EXPECT_EQ(config->speedTestBudgetGB, budget) << text;
    EXPECT_EQ(config->decodeIssues, issue) << text;
  }
}

TEST(ConfigRead, TextListsFallBackPerKey) {
  Config config = read(R"({"browsers":null,"projectRoots":{},"sslNeverHosts":5,"diskOff":[1]})");
  EXPECT_EQ(config.browsers, Strings{});
  EXPECT_EQ(config.projectRoots, Strings{});
  EXPECT_EQ(config.sslNeverHosts, Config::fresh(kNow).sslNeverHosts);
  EXPECT_EQ(config.diskOff, Strings{});
  EXPECT_TRUE(config.decodeIssues);
  config = read(R"({"browsers":["com.apple.Safari",3],"learningUntil":"2026-03-02T00:00:00Z"})");
  EXPECT_EQ(config.browsers, Strings{"com.apple.Safari"});
  EXPECT_TRUE(config.decodeIssues);
  config = read(R"({"browsers":[],"sslNeverHosts":[],"learningUntil":"2026-03-02T00:00:00Z"})");
  EXPECT_EQ(config.browsers, Strings{});  // an empty choice is kept, not replaced
  EXPECT_EQ(config.sslNeverHosts, Strings{});
  EXPECT_FALSE(config.decodeIssues);
}

TEST(ConfigRead, NestedIssuesAreFoldedIntoTheConfiguration) {
  Config config = read(R"({"limits":{"windowIdle":10},"learningUntil":"2026-03-02T00:00:00Z"})");
  EXPECT_EQ(config.limits.windowIdle, 60);
  EXPECT_FALSE(config.limits.decodeIssues);
  EXPECT_TRUE(config.decodeIssues);
  config = read(R"({"usageAlerts":{"appCPUCores":0.1},"learningUntil":"2026-03-02T00:00:00Z"})");
  EXPECT_EQ(config.usageAlerts.appCPUCores, 0.5);
  EXPECT_FALSE(config.usageAlerts.decodeIssues);
  EXPECT_TRUE(config.decodeIssues);
  config = read(R"({"allowlist":[],"limits":null,"learningUntil":"2026-03-02T00:00:00Z"})");
  EXPECT_EQ(config.allowlist, Allowlist());
  EXPECT_EQ(config.limits, Limits());
  EXPECT_TRUE(config.decodeIssues);
  config = read(R"({"learningUntil":"someday","speedTestAuto":1})");
  EXPECT_EQ(config.learningUntil, kNow + 86400);
  EXPECT_TRUE(config.speedTestAuto);
}

TEST(ConfigWrite, EmitsTheThirteenSettingsSorted) {
  EXPECT_EQ(
      encodeValue(Config::fresh(kNow)),
      R"({"allowlist":{"apps":[],"paths":[],"processes":[],"sites":[]},)"
      R"("browsers":["com.google.Chrome","com.google.Chrome.canary"],"diskOff":[],"ignoredFiles":[],)"
      R"("learningUntil":"2026-03-02T12:00:00Z","limits":{"appNoWindows":3600.0,"appUnused":14400.0,)"
      R"("backgroundIdle":3600.0,"cpuHogShare":0.8,"cpuHogWindow":600.0,"devServerIdle":1800.0,)"
      R"("sessionIdle":3600.0,"tabIdle":14400.0,"windowIdle":7200.0},"projectRoots":["~/Projects"],)"
      R"("scheduleMinutes":15,"speedTestAuto":true,"speedTestBudgetGB":200,"sslNeverHosts":[)"
      R"("*.apple.com","*.icloud.com","*.icloud-content.com","*.mzstatic.com","*.cdn-apple.com",)"
      R"("*.apple-cloudkit.com"],"sslProxyHosts":[],)"
      R"("usageAlerts":{"appCPUCores":2.0,"appCPUWindow":600.0,"never":[],"on":true}})");
}

TEST(ConfigWrite, RoundTripsEverySettingWithoutIssues) {
  Config config = Config::fresh(kNow);
  config.scheduleMinutes = 30;
  config.limits.tabIdle = 86400;
  config.limits.cpuHogShare = 1.5;
  config.allowlist = {{"Notes"}, {"node"}, {"example.com"}, {"/tmp"}, false};
  config.usageAlerts = {false, {"Xcode"}, 4, 900, false};
  config.browsers = {"com.apple.Safari"};
  config.diskOff = {"xcodeDerivedData"};
  config.projectRoots = {"~/Code", "/src"};
  config.ignoredFiles = {"/Users/me/big.iso"};
  config.learningUntil = *Date::fromISO8601("2026-04-01T00:00:00Z");
  config.speedTestAuto = false;
  config.speedTestBudgetGB = 50;
  config.sslProxyHosts = {"*.example.com"};
  config.sslNeverHosts = {"bank.test"};
  const auto text = encodeValue(config);
  ASSERT_TRUE(text);
  const auto back = Config::fromJSON(std::string_view(*text), kNow);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, config);
  EXPECT_FALSE(back->decodeIssues);
  EXPECT_EQ(nlohmann::json::parse(*text).size(), 13u);
  EXPECT_EQ(encodeValue(*back), text);
}

TEST(ConfigEquality, IgnoresDecodeIssuesOnly) {
  Config a = Config::fresh(kNow);
  Config b = a;
  b.decodeIssues = true;
  EXPECT_EQ(a, b);
  b.sslProxyHosts = {"x"};
  EXPECT_NE(a, b);
  b = a;
  b.learningUntil = b.learningUntil + 1;
  EXPECT_NE(a, b);
}

}  // namespace
}  // namespace kelvane
