#include "core/engine/memory.h"

#include <limits>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

const Date kNoon = *Date::fromISO8601("2026-03-02T12:00:00Z");

Action window(uint32_t id) {
  return {.rule = Rule::window,
          .kind = ActionKind::closeWindow,
          .pid = 9,
          .windowID = id,
          .target = "Editor · notes",
          .path = "/Applications/Editor.app/Contents/MacOS/Editor"};
}

Action stop(int32_t pid, Rule rule = Rule::background) {
  return {.rule = rule,
          .kind = ActionKind::stopProcess,
          .pid = pid,
          .target = "node",
          .path = "/usr/local/bin/node"};
}

Action disk(std::optional<DiskRule> rule) {
  return {.rule = Rule::disk,
          .kind = ActionKind::cleanDisk,
          .target = "Caches",
          .disk = DiskJob{.rule = rule}};
}

ActionResult result(Action action, std::string text, std::optional<std::string> note = {}) {
  return {.action = std::move(action), .result = std::move(text), .note = std::move(note)};
}

TEST(MemoryKeys, TellItemsOfOneTargetApart) {
  BrowserTab tab{
      .browser = "com.google.Chrome", .windowID = 3, .tabID = "t1", .url = "https://a.test/"};
  const Action tabAction{.rule = Rule::tab,
                         .kind = ActionKind::closeTab,
                         .pid = 4,
                         .target = "Chrome · A",
                         .tab = tab};
  const Action browserWindow{.rule = Rule::browserWindow,
                             .kind = ActionKind::closeBrowserWindow,
                             .pid = 4,
                             .target = "Chrome · 1 tabs · A",
                             .windowTabs = std::vector<BrowserTab>{tab}};
  const Action noWindow{.rule = Rule::window, .kind = ActionKind::closeWindow, .target = "X"};
  const std::vector<std::pair<Action, std::string>> table = {
      {window(12), "closeWindow:/Applications/Editor.app/Contents/MacOS/Editor:12"},
      {noWindow, "closeWindow:X:0"},
      {stop(77), "stopProcess:/usr/local/bin/node:77"},
      {tabAction, "closeTab:Chrome · A:com.google.Chrome:t1:https://a.test/"},
      {browserWindow,
       "closeBrowserWindow:Chrome · 1 tabs · A:com.google.Chrome:t1:https://a.test/"},
      {disk(DiskRule::logs), "cleanDisk:Caches:logs"},
      {disk(std::nullopt), "cleanDisk:Caches:picked"},
  };
  for (const auto& [action, key] : table) EXPECT_EQ(Memory::itemKey(action), key);
  EXPECT_EQ(Memory::identity(window(12)),
            "closeWindow:/Applications/Editor.app/Contents/MacOS/Editor");
}

TEST(MemoryRecord, ThreeFailedRunsBlockAndOneSuccessResets) {
  Memory memory;
  memory.record({result(window(1), "needs you: unsaved changes")}, kNoon);
  memory.record({result(window(1), "failed: gone")}, kNoon);
  EXPECT_FALSE(memory.blocks(window(1)));
  memory.record({result(window(1), "done")}, kNoon);  // resets the count
  EXPECT_TRUE(memory.failures.empty());
  EXPECT_TRUE(memory.failureTargets.empty());
  for (int i = 0; i < 2; ++i) memory.record({result(window(1), "failed: x")}, kNoon);
  EXPECT_FALSE(memory.blocks(window(1)));
  // Skips, would-run and held results change nothing.
  memory.record({result(window(1), "skipped: stopped"), result(window(1), "would run")}, kNoon);
  EXPECT_FALSE(memory.blocks(window(1)));
  memory.record({result(window(1), "failed: x")}, kNoon);
  EXPECT_TRUE(memory.blocks(window(1)));
  EXPECT_FALSE(memory.blocks(window(2)));  // another window of the same application
  EXPECT_EQ(memory.failureTargets.at(Memory::itemKey(window(1))), "Editor · notes");
  EXPECT_EQ(memory.known, std::set<std::string>{Memory::identity(window(1))});
}

TEST(MemoryRecord, DatesCompleteCleanupsAndStoppedProcesses) {
  Memory memory;
  memory.record({result(disk(DiskRule::logs), "done"),
                 result(disk(DiskRule::caches), "done", "stopped after 2 of 9 items"),
                 result(disk(std::nullopt), "done"), result(stop(5), "done"),
                 result(stop(6, Rule::session), "done")},
                kNoon);
  EXPECT_EQ(memory.cleaned, (std::map<std::string, Date>{{"logs", kNoon}}));
  // A terminal session is not a process that may come back by itself.
  EXPECT_EQ(memory.kills, (std::map<std::string, Date>{{"/usr/local/bin/node", kNoon}}));
}

TEST(MemoryObserve, AProcessBackWithinFiveMinutesIsRespawning) {
  Memory memory;
  memory.record({result(stop(5), "done")}, kNoon);
  Snapshot s;
  s.procs = {{.pid = 8, .name = "node", .path = "/usr/local/bin/node", .started = kNoon - 3600}};
  s.at = kNoon + 180;  // still running from before the stop: not back
  memory.observe(s);
  EXPECT_TRUE(memory.respawning.empty());
  s.procs[0].started = kNoon + 180;
  memory.observe(s);
  EXPECT_EQ(memory.respawning, std::set<std::string>{"/usr/local/bin/node"});
  EXPECT_TRUE(memory.kills.empty());
  EXPECT_TRUE(memory.blocks(stop(8)));
  EXPECT_TRUE(memory.blocks(stop(8, Rule::cpuHog)));  // whatever rule would stop it
}

TEST(MemoryObserve, AStopOlderThanFiveMinutesIsForgotten) {
  Memory memory;
  memory.record({result(stop(5), "done")}, kNoon);
  Snapshot s;
  s.at = kNoon + 360;
  s.procs = {{.pid = 8, .name = "node", .path = "/usr/local/bin/node", .started = kNoon - 60}};
  memory.observe(s);
  EXPECT_TRUE(memory.kills.empty());
  EXPECT_TRUE(memory.respawning.empty());
  // Seen again later with a fresh start: the stop is no longer remembered.
  s.procs[0].started = s.at;
  memory.observe(s);
  EXPECT_TRUE(memory.respawning.empty());
}

TEST(MemoryForget, KeepsOnlyTheGivenItems) {
  Memory memory;
  memory.record({result(window(1), "failed: x"), result(window(2), "failed: y")}, kNoon);
  memory.forget({Memory::itemKey(window(2))});
  EXPECT_EQ(memory.failures, (std::map<std::string, int64_t>{{Memory::itemKey(window(2)), 1}}));
  EXPECT_EQ(memory.failureTargets.size(), 1u);
}

TEST(MemoryRecord, ACountReadFromADamagedFileStopsAtItsLargest) {
  Memory memory = *decodeJson<Memory>(R"({"failures":{"closeWindow:X:0":9223372036854775807}})");
  const Action x{.rule = Rule::window, .kind = ActionKind::closeWindow, .target = "X"};
  memory.record({result(x, "failed: x")}, kNoon);
  EXPECT_EQ(memory.failures.at("closeWindow:X:0"), std::numeric_limits<int64_t>::max());
  EXPECT_TRUE(memory.blocks(x));
}

TEST(MemoryJson, RoundTripsAndReadsMissingKeysAsEmpty) {
  Memory memory;
  memory.record({result(window(1), "failed: x"), result(stop(5), "done")}, kNoon);
  memory.respawning.insert("/opt/agent");
  memory.cleaned["logs"] = kNoon;
  EXPECT_EQ(decodeJson<Memory>(*encodeValue(memory)), memory);
  EXPECT_EQ(decodeJson<Memory>(R"({"respawning":["/a"]})"), (Memory{.respawning = {"/a"}}));
  EXPECT_EQ(decodeJson<Memory>(R"({"failures":{"k":"three"}})"), std::nullopt);
  EXPECT_EQ(decodeJson<Memory>(R"([1,2])"), std::nullopt);
}

}  // namespace
}  // namespace kelvane
