#include "core/store/records.h"

#include <fstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/store/store.h"
#include "core/support/testing/temp_dir.h"

namespace kelvane {
namespace {

Date at(const char* iso) { return *Date::fromISO8601(iso); }

ActionResult result(std::string text, std::optional<std::string> note = std::nullopt) {
  return ActionResult{.action = Action{.rule = Rule::appUnused,
                                       .kind = ActionKind::quitApp,
                                       .pid = 40,
                                       .target = "Notes",
                                       .reason = "unused for 4h 00m"},
                      .result = std::move(text),
                      .note = std::move(note)};
}

RunRecord run(const char* when) {
  return RunRecord{Uuid::random(), at(when), RunMode::learning, {result("would run")}};
}

TEST(ActionResult, DerivedFlagsMatchTheirExactTexts) {
  EXPECT_TRUE(result("done").done());
  EXPECT_FALSE(result("done.").done());
  EXPECT_TRUE(result("needs you: allow Automation").needsAttention());
  EXPECT_TRUE(result("failed: not running").needsAttention());
  EXPECT_FALSE(result("skipped: failed before").needsAttention());
  EXPECT_TRUE(result("skipped: stopped").notRun());
  EXPECT_FALSE(result("skipped: stopped early").notRun());
  EXPECT_FALSE(result("done").cutShort());
  EXPECT_TRUE(result("done", "stopped after 3 of 9").cutShort());
  EXPECT_FALSE(result("failed", "stopped after 3 of 9").cutShort());
  EXPECT_TRUE(result("skipped: stopped", "the pause ran out").pauseRanOut());
  EXPECT_FALSE(result("done", "pause ran out at 3").pauseRanOut());
}

TEST(RunRecord, RoundTripsWithUpperCaseIdsAndRequiredKeys) {
  RunRecord r = run("2026-03-01T12:00:00Z");
  r.actions.push_back(result("done", "freed"));
  r.actions.back().undo = "in the Trash";
  const auto j = nlohmann::json(r);
  EXPECT_EQ(j["id"], r.id.text());
  EXPECT_EQ(j["at"], "2026-03-01T12:00:00Z");
  EXPECT_EQ(j["mode"], "learning");
  EXPECT_EQ(decodeJsonValue<RunRecord>(j), r);
  for (const char* key : {"id", "at", "mode", "actions"}) {
    auto damaged = j;
    damaged.erase(key);
    EXPECT_EQ(decodeJsonValue<RunRecord>(damaged), std::nullopt) << key;
  }
  auto lowerId = j;
  lowerId["id"] = "e621e1f8-c36c-495a-93fc-0c247a3e6e5f";
  EXPECT_EQ(decodeJsonValue<RunRecord>(lowerId)->id.text(), "E621E1F8-C36C-495A-93FC-0C247A3E6E5F");
}

TEST(ClosedTab, RoundTripsWithAndWithoutGroup) {
  ClosedTab t{Uuid::random(),
              at("2026-03-01T12:00:00Z"),
              "com.apple.Safari",
              "https://x.test",
              "X",
              BrowserProfile{"Profile 1", "Work"},
              Uuid::random()};
  EXPECT_EQ(decodeJsonValue<ClosedTab>(nlohmann::json(t)), t);
  t.group.reset();
  t.profile.reset();
  EXPECT_FALSE(nlohmann::json(t).contains("group"));
  EXPECT_EQ(decodeJsonValue<ClosedTab>(nlohmann::json(t)), t);
}

TEST(StoreRuns, AppendPruneAndFilterByDate) {
  TempDir tmp;
  const Store store(tmp.path());
  const RunRecord old = run("2026-02-01T00:00:00Z");
  const RunRecord bound = run("2026-02-15T00:00:00Z");
  const RunRecord fresh = run("2026-03-01T00:00:00Z");
  ASSERT_TRUE(store.append(old));
  std::ofstream(store.path("runs.jsonl"), std::ios::app) << "{\"id\":";  // a crash mid-write
  ASSERT_TRUE(store.append(bound));
  ASSERT_TRUE(store.append(fresh));
  EXPECT_EQ(store.runs(at("2026-02-15T00:00:00Z")), (std::vector<RunRecord>{bound, fresh}));
  ASSERT_TRUE(store.prune(at("2026-02-15T00:00:00Z")));
  EXPECT_EQ(store.runs(Date::distantPast()), (std::vector<RunRecord>{bound, fresh}));
  EXPECT_EQ(store.lines<nlohmann::json>("runs.jsonl").size(), 2u);  // the cut line is gone
}

}  // namespace
}  // namespace kelvane
