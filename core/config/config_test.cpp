#include "core/config/config.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

const Date kNow = *Date::fromISO8601("2026-03-01T12:00:00Z");

TEST(ConfigRead, EmptyObjectIsFreshAndOnlyAnObjectIsAConfiguration) {
  const auto config = Config::fromJSON(std::string_view("{}"), kNow);
  ASSERT_TRUE(config);
  EXPECT_EQ(*config, Config::fresh(kNow));
  EXPECT_EQ(config->learningUntil, kNow + 86400);
  EXPECT_TRUE(config->decodeIssues);  // the learning end was missing
  for (const char* text : {"[]", "null", "3", "\"{}\"", "not json", "{\"a\":", ""})
    EXPECT_EQ(Config::fromJSON(std::string_view(text), kNow), std::nullopt) << text;
}

TEST(ConfigRead, EachDamagedKeyFallsBackAloneAndIsFlagged) {
  // The members are read with a valid learning end placed before them; the
  // written value at the pointer is compared (nullptr: as a fresh start has it).
  const std::tuple<const char*, const char*, const char*, bool> cases[] = {
      {R"("scheduleMinutes":0)", "/scheduleMinutes", "1", true},
      {R"("scheduleMinutes":"x")", "/scheduleMinutes", "15", true},
      {R"("scheduleMinutes":30.0)", "/scheduleMinutes", "30", false},
      {R"("scheduleMinutes":7.5)", "/scheduleMinutes", "15", true},
      {R"("speedTestBudgetGB":0)", "/speedTestBudgetGB", "1", true},
      {R"("speedTestBudgetGB":18446744073709551615)", "/speedTestBudgetGB", "10000", true},
      {R"("speedTestBudgetGB":10000)", "/speedTestBudgetGB", "10000", false},
      {R"("speedTestAuto":1)", "/speedTestAuto", "true", true},
      {R"("browsers":null)", "/browsers", "[]", true},
      {R"("browsers":["com.apple.Safari",3])", "/browsers", R"(["com.apple.Safari"])", true},
      {R"("browsers":[])", "/browsers", "[]", false},  // an empty choice is kept
      {R"("projectRoots":{})", "/projectRoots", "[]", true},
      {R"("diskOff":[1])", "/diskOff", "[]", true},
      {R"("sslNeverHosts":5)", "/sslNeverHosts", nullptr, true},
      {R"("sslNeverHosts":[])", "/sslNeverHosts", "[]", false},
      {R"("limits":{"windowIdle":10})", "/limits/windowIdle", "60.0", true},
      {R"("limits":null)", "/limits", nullptr, true},
      {R"("usageAlerts":{"appCPUCores":0.1})", "/usageAlerts/appCPUCores", "0.5", true},
      {R"("allowlist":[])", "/allowlist", nullptr, true},
      {R"("learningUntil":"someday")", "/learningUntil", R"("2026-03-02T12:00:00Z")", true},
  };
  const auto fresh = nlohmann::json(Config::fresh(kNow));
  for (const auto& [members, pointer, written, issue] : cases) {
    const std::string text =
        std::string(R"({"learningUntil":"2026-03-02T00:00:00Z",)") + members + "}";
    const auto config = Config::fromJSON(std::string_view(text), kNow);
    ASSERT_TRUE(config) << members;
    const nlohmann::json::json_pointer at(pointer);
    EXPECT_EQ(nlohmann::json(*config).at(at), written ? nlohmann::json::parse(written) : fresh[at])
        << members;
    EXPECT_EQ(config->decodeIssues, issue) << members;
    // Nested issues are folded into the configuration's own flag.
    EXPECT_FALSE(config->limits.decodeIssues || config->usageAlerts.decodeIssues ||
                 config->allowlist.decodeIssues);
  }
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
  EXPECT_EQ(config->sslProxyHosts, std::vector<std::string>{"*.example.com"});
  EXPECT_EQ(config->sslNeverHosts, std::vector<std::string>{"bank.test"});
  Config other = *config;
  other.decodeIssues = true;  // never written, and no part of equality
  EXPECT_EQ(encodeValue(other), kStored);
  EXPECT_EQ(other, *config);
  other.learningUntil = other.learningUntil + 1;
  EXPECT_NE(other, *config);
}

}  // namespace
}  // namespace kelvane
