#include "core/disk/disk_planner.h"

#include <gtest/gtest.h>

#include "core/config/format.h"

namespace kelvane {
namespace {

DiskItem item(std::string path, int64_t bytes) {
  return DiskItem{std::move(path), "/h", bytes, std::nullopt, std::nullopt};
}

DiskScan scanWith(std::map<DiskRule, DiskRuleScan> rules) {
  return DiskScan{.at = Date(0), .home = "/h", .rules = std::move(rules)};
}

Config config() {
  Config c = Config::fresh(Date(0));
  c.projectRoots = {" ~/Projects\n"};
  return c;
}

TEST(DiskPlanner, DropsKeptItemsAndTheirBytes) {
  Config c = config();
  c.allowlist.paths = {"~/Library/Caches/Kept"};
  const auto a = DiskPlanner::action(
      DiskRule::caches,
      scanWith({{DiskRule::caches,
                 {{item("/h/Library/Caches/a", 1000), item("/h/Library/caches/KEPT/b", 2000)},
                  {},
                  3000}}}),
      c);
  const DiskJob job{DiskRule::caches, {item("/h/Library/Caches/a", 1000)}, {}, 1000, 1, false};
  ASSERT_EQ(a, (Action{.rule = Rule::disk,
                       .kind = ActionKind::cleanDisk,
                       .target = "App caches",
                       .reason = "1 item · 1 KB",
                       .disk = job}));
  EXPECT_EQ(a->id(), "disk:0:0:caches");
}

TEST(DiskPlanner, ReasonsForCommandsBuildsUnderTodaysRootsAndDownloads) {
  const auto scan = scanWith({
      {DiskRule::docker, {{}, {{"/usr/local/bin/docker", "image", "prune", "-f"}}, 0, {}}},
      {DiskRule::logs, {{}, {}, 0, "needs Full Disk Access"}},
      {DiskRule::packageCaches,
       {{item("/h/.npm/_cacache", 5'000'000), item("/h/.cache/pip", 1)},
        {{"/opt/homebrew/bin/brew", "cleanup"}, {}, {"/h/.bun/bin/bun", "pm", "cache", "rm"}},
        1'200'000'000,
        {}}},
      {DiskRule::builds,
       {{item("/h/Projects/app/node_modules", 10), item("/h/Old/app/node_modules", 20),
         item("/h/ProjectsOld/x/dist", 40)},
        {},
        70,
        {}}},
      {DiskRule::downloads, {{item("/h/Downloads/a", 50)}, {}, 10, {}}},
  });
  const Config c = config();
  const auto reason = [&](DiskRule rule) { return DiskPlanner::action(rule, scan, c)->reason; };
  EXPECT_EQ(reason(DiskRule::docker), "docker");
  EXPECT_EQ(reason(DiskRule::packageCaches), "2 items · brew, bun · 1.2 GB");
  EXPECT_EQ(reason(DiskRule::downloads), "1 item · 10 bytes");  // never below zero
  EXPECT_EQ(DiskPlanner::action(DiskRule::logs, scan, c), std::nullopt);
  EXPECT_EQ(DiskPlanner::action(DiskRule::trash, scan, c), std::nullopt);  // no entry
  EXPECT_TRUE(DiskPlanner::action(DiskRule::downloads, scan, c)->disk->trash);
  const auto builds = DiskPlanner::action(DiskRule::builds, scan, c)->disk;
  EXPECT_EQ(builds->items, (std::vector<DiskItem>{item("/h/Projects/app/node_modules", 10)}));
  EXPECT_EQ(builds->bytes, 10);
}

TEST(DiskPlanner, ATextNamesEachToolOnce) {
  const std::vector<std::vector<std::string>> uninstalls = {
      {"/h/.cargo/bin/rustup", "toolchain", "uninstall", "a"},
      {"/h/.cargo/bin/rustup", "toolchain", "uninstall", "b"},
      {"/usr/bin/npm", "cache", "clean"},
      {"/opt/rustup", "toolchain", "uninstall", "c"}};
  const auto scan = scanWith({{DiskRule::libraries, {{item("/h/.nvm/v1", 5)}, uninstalls, 5, {}}}});
  EXPECT_EQ(DiskPlanner::action(DiskRule::libraries, scan, config())->reason,
            "1 item · rustup, npm · 5 bytes");
  EXPECT_EQ(DiskPlanner::summary(0, {}, 1500, Format::fileSize), "1.50 KB");
}

TEST(DiskPlanner, PlanHonoursRulesSwitchedOffAndTheWeeklySlot) {
  std::map<DiskRule, DiskRuleScan> rules;
  for (const DiskRule rule : DiskRules::allCases) rules[rule] = {{item("/h/x", 1)}, {}, 1, {}};
  const auto scan = scanWith(rules);
  Config c = config();
  c.projectRoots = {"~"};          // keeps the build item
  c.diskOff = {"caches", "Logs"};  // exact text only: "Logs" switches nothing off
  auto targets = [](const std::vector<Action>& actions) {
    std::vector<std::string> out;
    for (const auto& a : actions) out.push_back(std::string(DiskRules::rawValue(*a.disk->rule)));
    return out;
  };
  EXPECT_EQ(targets(DiskPlanner::plan(scan, c, false)),
            (std::vector<std::string>{"logs", "derivedData", "packageCaches", "docker", "downloads",
                                      "trash"}));
  EXPECT_EQ(DiskPlanner::plan(scan, c, true).size(), 9u);
  EXPECT_TRUE(DiskPlanner::plan(std::nullopt, c, true).empty());
}

}  // namespace
}  // namespace kelvane
