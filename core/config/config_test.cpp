#include "core/config/config.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

const Date kNow = *Date::fromISO8601("2026-03-01T12:00:00Z");

Config read(const char* text) {
  const auto config = Config::fromJSON(text, kNow);
  EXPECT_TRUE(config) << text;
  return config.value_or(Config());
}

using Strings = std::vector<std::string>;

TEST(ConfigRead, EmptyObjectIsFreshButFlagsTheMissingLearningEnd) {
  const Config config = read("{}");
  EXPECT_EQ(config, Config::fresh(kNow));
  EXPECT_EQ(config.learningUntil, kNow + 86400);
  EXPECT_TRUE(config.decodeIssues);
}

TEST(ConfigRead, OnlyATopLevelObjectIsAConfiguration) {
  for (const char* text : {"[]", "null", "3", "\"{}\"", "not json", "{\"a\":", ""})
    EXPECT_EQ(Config::fromJSON(std::string(text), kNow), std::nullopt) << text;
  EXPECT_EQ(Config::fromJSON(static_cast<const char*>(nullptr), kNow), std::nullopt);
}

TEST(ConfigRead, ClampsCountsAndReplacesDamagedOnes) {
  const std::tuple<const char*, int64_t, int64_t, bool> cases[] = {
      // text, scheduleMinutes, speedTestBudgetGB, issue
      {R"({"scheduleMinutes":0})", 1, 200, true},
      {R"({"scheduleMinutes":"x"})", 15, 200, true},
      {R"({"scheduleMinutes":30.0})", 30, 200, false},
      {R"({"scheduleMinutes":7.5})", 15, 200, true},
      {R"({"speedTestBudgetGB":0})", 15, 1, true},
      {R"({"speedTestBudgetGB":18446744073709551615})", 15, 10000, true},
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

// Every setting away from its default, as the store writes it: compact, keys sorted.
const char* const kStored =
    R"({"allowlist":{"apps":["Notes"],"paths":["/tmp"],"processes":["node"],"sites":["example.c)"
    R"(om"]},"browsers":["com.apple.Safari"],"diskOff":["xcodeDerivedData"],"ignoredFiles":["/U)"
    R"(sers/me/big.iso"],"learningUntil":"2026-04-01T00:00:00Z","limits":{"appNoWindows":1800.0)"
    R"(,"appUnused":28800.0,"backgroundIdle":7200.0,"cpuHogShare":1.5,"cpuHogWindow":300.0,"dev)"
    R"(ServerIdle":600.0,"sessionIdle":900.0,"tabIdle":86400.0,"windowIdle":3600.0},"projectRoo)"
    R"(ts":["~/Code","/src"],"scheduleMinutes":30,"speedTestAuto":false,"speedTestBudgetGB":50,)"
    R"("sslNeverHosts":["bank.test"],"sslProxyHosts":["*.example.com"],"usageAlerts":{"appCPUCo)"
    R"(res":4.0,"appCPUWindow":900.0,"never":["Xcode"],"on":false}})";

TEST(ConfigWrite, RoundTripsEverySettingAsStored) {
  const auto config = Config::fromJSON(std::string_view(kStored), kNow);
  ASSERT_TRUE(config);
  EXPECT_FALSE(config->decodeIssues);
  EXPECT_EQ(encodeValue(*config), kStored);
  EXPECT_EQ(config->limits.devServerIdle, 600);
  EXPECT_EQ(config->usageAlerts.appCPUWindow, 900);
  EXPECT_EQ(config->projectRoots, (Strings{"~/Code", "/src"}));
  Config other = *config;
  other.decodeIssues = true;  // never written, and no part of equality
  EXPECT_EQ(encodeValue(other), kStored);
  EXPECT_EQ(other, *config);
  other.learningUntil = other.learningUntil + 1;
  EXPECT_NE(other, *config);
}

TEST(ConfigProxyRules, NeverHostsWinOverInterceptedOnes) {
  Config c = Config::fresh(Date(0));
  c.sslProxyHosts = {"*.example.com", "api.apple.com"};
  const ProxyRules rules = c.proxyRules();
  EXPECT_TRUE(rules.decrypts("www.example.com"));
  EXPECT_FALSE(rules.decrypts("api.apple.com"));  // a default never-host
  EXPECT_FALSE(rules.decrypts("example.org"));
}

}  // namespace
}  // namespace kelvane
