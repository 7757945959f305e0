#include "core/actions/action.h"

#include <unordered_set>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/actions/pick.h"
#include "core/support/json_coding.h"

namespace kelvane {
namespace {

BrowserTab tab(int64_t index) {
  return BrowserTab{.browser = "com.google.Chrome",
                    .windowID = 7,
                    .index = index,
                    .url = "https://a.test/x",
                    .title = "A",
                    .active = false};
}

Action full() {
  DiskItem item{"/h/Library/Caches/x", "/h/Library/Caches", 2000, std::nullopt, "proj"};
  return Action{
      .rule = Rule::tab,
      .kind = ActionKind::closeTab,
      .pid = -3,
      .windowID = 4000000000u,
      .target = "Chrome · a.test",
      .reason = "idle 4h 00m",
      .memory = 18446744073709551615ull,
      .path = "/Applications/Chrome",
      .started = Date(800000000),
      .tty = "ttys001",
      .minIdle = 3600.5,
      .tab = tab(2),
      .windowTabs = std::vector<BrowserTab>{tab(0), tab(1)},
      .closeShown = true,
      .quitNow = false,
      .disk = DiskJob{DiskRule::caches, {item}, {{"/usr/bin/npm", "cache"}}, 2000, 1, false}};
}

TEST(ActionId, NamesRuleProcessWindowTabAndDiskRule) {
  Action a{.rule = Rule::window, .kind = ActionKind::closeWindow, .pid = 12, .target = "Mail"};
  EXPECT_EQ(a.id(), "window:12:0");
  Action zero = a;
  zero.windowID = 0;
  zero.reason = "idle 2h 00m";  // reasons take no part
  EXPECT_EQ(zero.id(), a.id());
  EXPECT_NE(zero, a);

  Action t1{.rule = Rule::tab, .kind = ActionKind::closeTab, .pid = 5, .tab = tab(1)};
  Action t2 = t1;
  t2.tab = tab(9);
  EXPECT_EQ(t1.id(), "tab:5:0:com.google.Chrome:7:https://a.test/x");
  EXPECT_EQ(t1.id(), t2.id());

  Action d{.rule = Rule::disk, .kind = ActionKind::cleanDisk, .disk = DiskJob{}};
  EXPECT_EQ(d.id(), "disk:0:0:picked");
  d.disk->rule = DiskRule::derivedData;
  EXPECT_EQ(d.id(), "disk:0:0:derivedData");
}

TEST(ActionId, TellsTwoWindowsOfOneBrowserApart) {
  auto windowOf = [](int64_t windowID) {
    BrowserTab first = tab(0);
    first.windowID = windowID;
    return Action{.rule = Rule::browserWindow,
                  .kind = ActionKind::closeBrowserWindow,
                  .pid = 5,
                  .windowTabs = std::vector<BrowserTab>{first}};
  };
  EXPECT_EQ(windowOf(7).id(), "browserWindow:5:0:com.google.Chrome:7");
  EXPECT_NE(windowOf(7).id(), windowOf(8).id());
  Action recorded = windowOf(7);  // run records keep no tab list
  recorded.windowTabs = std::vector<BrowserTab>{};
  EXPECT_EQ(recorded.id(), "browserWindow:5:0");
  // Tab lists of other kinds take no part.
  Action t{.rule = Rule::tab, .kind = ActionKind::closeTab, .pid = 5, .tab = tab(1)};
  t.windowTabs = std::vector<BrowserTab>{tab(2)};
  EXPECT_EQ(t.id(), "tab:5:0:com.google.Chrome:7:https://a.test/x");
}

TEST(ActionJson, RoundTripsEveryFieldAndOmitsAbsentOnes) {
  const Action a = full();
  EXPECT_EQ(decodeJson<Action>(*encodeValue(a)), a);
  const Action bare{.rule = Rule::cpuHog, .kind = ActionKind::stopProcess, .pid = 9};
  EXPECT_EQ(*encodeValue(bare),
            R"({"kind":"stopProcess","memory":0,"pid":9,"reason":"","rule":"cpuHog","target":""})");
  EXPECT_EQ(decodeJson<Action>(*encodeValue(bare)), bare);
  EXPECT_EQ(nlohmann::json(a)["started"].get<std::string>(), "2026-05-09T06:13:20Z");
}

TEST(ActionJson, RefusesUnknownTextsAndMissingKeys) {
  auto j = nlohmann::json(full());
  j["kind"] = "closeEverything";
  EXPECT_EQ(decodeJsonValue<Action>(j), std::nullopt);
  j = nlohmann::json(full());
  j["rule"] = "Window";
  EXPECT_EQ(decodeJsonValue<Action>(j), std::nullopt);
  for (const char* key : {"rule", "kind", "pid", "target", "reason", "memory"}) {
    j = nlohmann::json(full());
    j.erase(key);
    EXPECT_EQ(decodeJsonValue<Action>(j), std::nullopt) << key;
  }
  j = nlohmann::json(full());
  j["windowID"] = -1;  // out of range for a window ID
  EXPECT_EQ(decodeJsonValue<Action>(j), std::nullopt);
  j = nlohmann::json(full());
  j["tab"] = nullptr;  // null reads as absent
  EXPECT_EQ(decodeJsonValue<Action>(j)->tab, std::nullopt);
}

TEST(Pick, ComparesByCaseAndPayload) {
  EXPECT_NE(Pick::app(5), Pick::process(5));
  EXPECT_EQ(Pick::tab(tab(1)), Pick::tab(tab(1)));
  EXPECT_NE(Pick::tab(tab(1)), Pick::tab(tab(2)));  // the whole tab, index included
  const std::unordered_set<Pick> picks{Pick::app(5), Pick::process(5), Pick::window(5),
                                       Pick::diskRule(DiskRule::logs), Pick::app(5)};
  EXPECT_EQ(picks.size(), 4u);
  EXPECT_EQ(Pick::window(3).as<Pick::Window>()->id, 3u);
  EXPECT_EQ(Pick::window(3).as<Pick::App>(), nullptr);
}

}  // namespace
}  // namespace kelvane
