#include "core/disk_records/disk_rule.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kelvane {
namespace {

TEST(DiskRule, TenRulesInOrderWithStoredTextsAndOnlyTheLastThreeWeekly) {
  std::vector<std::string_view> raw;
  for (DiskRule rule : DiskRules::allCases) {
    raw.push_back(DiskRules::rawValue(rule));
    EXPECT_EQ(nlohmann::json(DiskRules::rawValue(rule)).get<DiskRule>(), rule);
    EXPECT_EQ(DiskRules::weekly(rule), rule >= DiskRule::simulators) << raw.back();
  }
  EXPECT_EQ(raw, (std::vector<std::string_view>{"caches", "logs", "derivedData", "packageCaches",
                                                "docker", "downloads", "trash", "simulators",
                                                "builds", "libraries"}));
  EXPECT_EQ(nlohmann::json(DiskRule::packageCaches).dump(), "\"packageCaches\"");
  for (const char* unknown : {"", "Caches", "derived_data", "caches "})
    EXPECT_EQ(DiskRules::fromRawValue(unknown), std::nullopt) << unknown;
  EXPECT_THROW(nlohmann::json("Trash").get<DiskRule>(), nlohmann::json::exception);
  EXPECT_THROW(nlohmann::json(6).get<DiskRule>(), nlohmann::json::exception);
  EXPECT_EQ(DiskRules::title(DiskRule::downloads), "Old Downloads to Trash");
  EXPECT_EQ(DiskRules::detail(DiskRule::builds),
            "node_modules, .next, dist, build, target in projects untouched for 30 days");
}

}  // namespace
}  // namespace kelvane
