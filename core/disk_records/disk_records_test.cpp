#include "core/disk_records/disk_records.h"

#include <unordered_set>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

using nlohmann::json;

DiskItem item(std::string path, std::string root, int64_t bytes) {
  return {std::move(path), std::move(root), bytes, std::nullopt, std::nullopt};
}

DiskScan sampleScan() {
  DiskScan scan;
  scan.at = Date::fromUnix(1772366400.0);
  scan.home = "/Users/ann";
  scan.rules[DiskRule::builds] = {
      {{"/Users/ann/p/node_modules", "/Users/ann/p", 4096, "main 3f2a", "p"}}, {}, 4096, {}};
  scan.rules[DiskRule::caches] = {
      {item("/Users/ann/Library/Caches/x", "/Users/ann/Library/Caches", 0)},
      {{"/usr/bin/true", "-n"}},
      7,
      "needs Full Disk Access"};
  scan.suggestions = {{"/Users/ann/Big", 1LL << 40, Date::fromUnix(1700000000.0)},
                      {"/Users/ann/Old", 12, std::nullopt}};
  scan.fullDiskAccess = false;
  return scan;
}

TEST(DiskScan, RoundTripsWithRulesAsAlternatingArray) {
  const DiskScan scan = sampleScan();
  const json j = scan;
  const json& rules = j.at("rules");
  ASSERT_EQ(rules.size(), 4u);
  EXPECT_EQ(rules[0], "caches");  // rule order, not insertion order
  EXPECT_EQ(rules[2], "builds");
  EXPECT_EQ(rules[1].at("note"), "needs Full Disk Access");
  EXPECT_FALSE(rules[1].at("items")[0].contains("gitRepo"));
  EXPECT_FALSE(j.at("suggestions")[1].contains("lastUsed"));
  EXPECT_EQ(decodeJson<DiskScan>(encodeJson(j).value()), scan);
}

TEST(DiskScan, RefusesMalformedRulePairs) {
  const json good = sampleScan();
  const json scanObject = good.at("rules")[1];
  const std::vector<json> badRules = {
      json::array({"caches"}),                      // odd length
      json::array({"caches", scanObject, "logs"}),  // odd length
      json::array({scanObject, "caches"}),          // pair reversed
      json::array({"cache", scanObject}),           // unknown rule
      json::array({"caches", json::array()}),       // scan not an object
      json::array({"caches", json::object()}),      // scan lacks its keys
      json::object({{"caches", scanObject}}),       // a keyed object
  };
  for (const json& rules : badRules) {
    json j = good;
    j["rules"] = rules;
    EXPECT_EQ(decodeJsonValue<DiskScan>(j), std::nullopt) << rules.dump();
  }
}

TEST(DiskItem, ReadsNullOptionalsAsAbsentAndRequiresWholeBytes) {
  const auto with = [](const char* tail) {
    return decodeJson<DiskItem>(std::string(R"({"path":"/a/b","root":"/a")") + tail + "}");
  };
  EXPECT_EQ(with(R"(,"bytes":10,"gitRepo":null)"), item("/a/b", "/a", 10));
  EXPECT_EQ(with(R"(,"bytes":10.0)"), item("/a/b", "/a", 10));
  for (const char* bad : {R"(,"bytes":10.5)", R"(,"bytes":true)", R"(,"bytes":"10")",
                          R"(,"bytes":9223372036854775808)", "", R"(,"bytes":10,"project":7)"})
    EXPECT_EQ(with(bad), std::nullopt) << bad;
  EXPECT_EQ(decodeJson<DiskItem>(R"({"path":"/a/b","bytes":10})"), std::nullopt);
}

TEST(DiskScan, PathsThatAreNotUtf8AreNamedExactlyBesideTheirDisplayText) {
  DiskScan scan = sampleScan();
  scan.home = "/Users/\xe9ve";  // Latin-1, as an old archive may have it
  const std::string root = "/Users/\xe9ve/Library/Caches";
  scan.rules[DiskRule::caches] = {
      {item(root + "/bad\xff", root, 1), item(root + "/bad\xfe", root, 2),
       item("/Users/ann/100% sure", "/Users/ann", 3)},
      {{"/opt/bin/rustup", "toolchain", "uninstall", "x\xff"}},
      6,
      std::nullopt};
  scan.rules[DiskRule::builds].items[0].project = "/p/50% off\xc3";
  scan.suggestions[0].path = "/Users/\xe9ve/big\x80.iso";
  const json j = scan;
  EXPECT_EQ(j.at("home"), "/Users/\uFFFDve");
  EXPECT_EQ(j.at("homeEscaped"), "/Users/%E9ve");
  const json& items = j.at("rules")[1].at("items");
  EXPECT_EQ(items[0].at("path"), items[1].at("path"));  // the display texts collide...
  EXPECT_EQ(items[0].at("pathEscaped"), "/Users/%E9ve/Library/Caches/bad%FF");  // ...these do not
  EXPECT_EQ(items[1].at("pathEscaped"), "/Users/%E9ve/Library/Caches/bad%FE");
  EXPECT_FALSE(items[2].contains("pathEscaped"));  // valid UTF-8 is written as before
  EXPECT_EQ(items[2].at("path"), "/Users/ann/100% sure");
  EXPECT_EQ(j.at("rules")[1].at("commandsEscaped")[0][3], "x%FF");
  EXPECT_EQ(j.at("rules")[3].at("items")[0].at("projectEscaped"), "/p/50%25%20off%C3");
  EXPECT_EQ(decodeJson<DiskScan>(encodeJson(j).value()), scan);
  for (const char* broken : {"/Users/%E", "/Users/%ZZve", "%"}) {
    json damaged = j;
    damaged["homeEscaped"] = broken;
    EXPECT_EQ(decodeJsonValue<DiskScan>(damaged), std::nullopt) << broken;
  }
}

TEST(DiskJob, RoundTripsWithoutARuleAndHashesOverAllFields) {
  DiskJob job{
      DiskRule::downloads, {item("/h/Downloads/a\xff.zip", "/h/Downloads", 5)}, {}, 5, 1, true};
  DiskJob ruleless = job, deleting = job;
  ruleless.rule.reset();
  deleting.trash = false;
  EXPECT_FALSE(json(ruleless).contains("rule"));
  for (const DiskJob& j : {job, ruleless}) EXPECT_EQ(decodeJsonValue<DiskJob>(json(j)), j);
  EXPECT_EQ((std::unordered_set<DiskJob>{job, ruleless, deleting, job}.size()), 3u);
}

}  // namespace
}  // namespace kelvane
