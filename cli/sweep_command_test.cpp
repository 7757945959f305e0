#include "cli/sweep_command.h"

#include <sstream>

#include <gtest/gtest.h>

#include "cli/agent_events.h"
#include "cli/control_ops.h"
#include "cli/schedule_command.h"

namespace kelvane::cli {
namespace {

using nlohmann::json;

Date at(const char* text) { return *Date::fromISO8601(text); }

TEST(ParseDuration, WholeNumbersWithUnitsAndNothingElse) {
  const std::vector<std::pair<std::string, std::optional<double>>> cases = {
      {"90m", 5400},
      {"1h30m", 5400},
      {"45s", 45},
      {"2d", 172800},
      {"1w", 604800},
      {"1h1h", 7200},
      {"", std::nullopt},
      {"30", std::nullopt},  // A number without a unit is ambiguous.
      {"m", std::nullopt},
      {"0m", std::nullopt},
      {"-5m", std::nullopt},
      {"1.5h", std::nullopt},
      {"2h ", std::nullopt},
      {"3y", std::nullopt},
      {"99999999999999999999999m", std::nullopt},
  };
  for (const auto& [text, seconds] : cases) EXPECT_EQ(parseDuration(text), seconds) << text;
}

TEST(WhenText, TheClockTodayTheDayThisYearTheYearOtherwise) {
  const Calendar utc = Calendar::utc();
  const Date now = at("2026-12-07T12:00:00Z");
  EXPECT_EQ(whenText(at("2026-12-07T14:05:00Z"), now, utc), "14:05");
  EXPECT_EQ(whenText(at("2026-12-08T09:30:00Z"), now, utc), "Tue 8 Dec 09:30");
  EXPECT_EQ(whenText(at("2027-01-02T00:00:00Z"), now, utc), "2 Jan 2027 00:00");
  EXPECT_EQ(whenText(Date::distantFuture(), now, utc), "until you resume");
  EXPECT_EQ(untilText(Date::distantFuture(), now, utc), "until you resume");
  EXPECT_EQ(untilText(at("2026-12-07T14:05:00Z"), now, utc), "until 14:05");
  // The day is the calendar's, not UTC's.
  const auto tokyo = Calendar::named("Asia/Tokyo");
  ASSERT_TRUE(tokyo);
  EXPECT_EQ(whenText(at("2026-12-07T16:00:00Z"), now, *tokyo), "Tue 8 Dec 01:00");
}

TEST(PeriodText, SecondsBelowOneStayVisible) {
  EXPECT_EQ(AgentEvents::period(60), "1m");
  EXPECT_EQ(AgentEvents::period(0.25), "0.25s");
  EXPECT_EQ(AgentEvents::period(0.05), "0.05s");
}

TEST(Cell, OneTerminalCellOfSafeText) {
  EXPECT_EQ(cell("plain", 10), "plain");
  EXPECT_EQ(cell("tab\there\x1b[31m", 40), "tab?here?[31m");
  EXPECT_EQ(cell("bad \xff byte", 40), "bad \xEF\xBF\xBD byte");
  // Cut to the width with an ellipsis, never inside a character.
  EXPECT_EQ(cell("ééééé", 3), "éé…");
  EXPECT_EQ(cell("abcdef", 4), "abc…");
}

json plannedState() {
  return json::parse(R"({
    "now": "2026-12-07T12:00:00Z", "folder": "/tmp/k", "agent": null,
    "learning": false, "paused": false, "scheduleMinutes": 15,
    "nextRunAt": "2026-12-07T12:15:00Z", "nextRunMode": "live", "running": false,
    "plan": [
      {"id": "abc123", "rule": "devServer", "target": "node · port 3000",
       "reason": "idle 2h", "memory": 52428800, "marks": ["held"]},
      {"id": "def456", "rule": "window", "target": "Notes \u0007 draft",
       "reason": "idle 1h", "marks": ["skipped"]}],
    "blocked": [{"id": "ghi789", "rule": "background", "target": "sync",
                 "why": "came back after it was stopped"}],
    "held": {"at": "2026-12-07T11:45:00Z", "reason": "would close 2 of 3 open windows",
             "actions": [{}, {}]},
    "needsYou": ["A process could not be stopped"],
    "runs": []})");
}

TEST(PrintSweep, ThePlanItsMarksWhatIsLeftAloneAndWhatNeedsTheUser) {
  std::ostringstream out;
  printSweep(plannedState(), Calendar::utc(), out);
  const std::string text = out.str();
  for (const char* expected :
       {"No agent runs on /tmp/k", "Next run: 12:15 (in 15m), every 15m", "abc123", "50 MB", "held",
        "skipped", "Notes ? draft", "Blocked: planned, but left alone (1)",
        "came back after it was stopped",
        "A run held 11:45 would close 2 of 3 open windows (2 actions): kelvane held confirm",
        "A process could not be stopped"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;
  // Columns line up: every row of the plan starts its target where the title does.
  const size_t title = text.find("TARGET");
  const size_t lineStart = text.rfind('\n', title) + 1;
  const size_t row = text.find("node · port");
  EXPECT_EQ(title - lineStart, row - (text.rfind('\n', row) + 1));
}

TEST(PrintSweep, SaysWhyNothingActsWhilePausedOrLearning) {
  json s = plannedState();
  s["nextRunMode"] = "paused";
  s["pausedUntil"] = Date::distantFuture();
  std::ostringstream paused;
  printSweep(s, Calendar::utc(), paused);
  EXPECT_NE(paused.str().find("Paused until you resume: it will not run (kelvane resume)"),
            std::string::npos)
      << paused.str();
  s["nextRunMode"] = "learning";
  s["learningUntil"] = "2026-12-08T10:00:00Z";
  std::ostringstream learning;
  printSweep(s, Calendar::utc(), learning);
  EXPECT_NE(learning.str().find("Learning until Tue 8 Dec 10:00"), std::string::npos)
      << learning.str();
}

TEST(ParsePick, EveryKindAndWhatIsNotOne) {
  Snapshot snapshot;
  snapshot.tabs.push_back(
      BrowserTab{.browser = "com.google.Chrome", .windowID = 4, .url = "https://a.test/"});
  const std::string tabKey = snapshot.tabs[0].key();
  for (const std::string text : {"window:12", "app:4242", "process:7", "disk:caches"}) {
    const auto pick = ControlOps::parsePick(text, snapshot);
    ASSERT_TRUE(pick) << text;
    EXPECT_EQ(ControlOps::pickText(*pick), text);
  }
  const auto tab = ControlOps::parsePick("tab:" + tabKey, snapshot);
  ASSERT_TRUE(tab);
  EXPECT_EQ(ControlOps::pickText(*tab), "tab:" + tabKey);
  for (const std::string text : {"window:", "window:-1", "app:0", "process:12x", "disk:everything",
                                 "tab:nope", "frob:1", "", "process:99999999999"})
    EXPECT_FALSE(ControlOps::parsePick(text, snapshot)) << text;
}

}  // namespace
}  // namespace kelvane::cli
