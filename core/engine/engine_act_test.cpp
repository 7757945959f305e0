// Queueing, skipping, keeping and acting: what reaches the system, what is
// logged first, and what stays in the engine's lists afterwards.
#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "core/engine/engine.h"
#include "core/engine/testing/engine_rig.h"

namespace kelvane {
namespace {

using namespace testing;
namespace fs = std::filesystem;

// Chrome with two browser windows: window 1 with three tabs, window 2 with two.
Desktop twoBrowserWindows() {
  Desktop d = browserDesktop();
  d.tab(1, 0, "https://a.test/0").tab(1, 1, "https://a.test/1").tab(1, 2, "https://a.test/2");
  d.tab(2, 0, "https://b.test/0").tab(2, 1, "https://b.test/1");
  return d;
}

std::vector<std::string> urls(const std::vector<ClosedTab>& tabs) {
  std::vector<std::string> out;
  for (const ClosedTab& tab : tabs) out.push_back(tab.url);
  std::sort(out.begin(), out.end());
  return out;
}

TEST(EngineClosedTabs, TabsAreListedBeforeAnyClosesAndShareTheirWindowsGroup) {
  Rig rig;
  const Desktop desktop = twoBrowserWindows();
  Engine& engine = rig.startOn(desktop);
  std::atomic<int> unlisted{0};
  rig.system->hook = [&](const Action& action) {
    const auto listed = urls(rig.store.lines<ClosedTab>(kClosedTabsFile));
    if (!std::binary_search(listed.begin(), listed.end(), action.tab->url)) ++unlisted;
    return Outcome::done();
  };
  const auto& tabs = desktop.s.tabs;
  engine.actNow({Pick::tab(tabs[0]), Pick::tab(tabs[1]), Pick::tab(tabs[3])}, false);
  EXPECT_EQ(engine.pendingLogs().size(), 3u);
  rig.finishRun();
  EXPECT_EQ(rig.system->asked().size(), 3u);
  EXPECT_EQ(unlisted.load(), 0);
  const auto logged = rig.store.lines<ClosedTab>(kClosedTabsFile);
  ASSERT_EQ(logged.size(), 3u);
  EXPECT_EQ(urls(engine.closedTabs()), urls(logged));
  std::map<std::string, std::optional<Uuid>> groups;
  for (const ClosedTab& tab : logged) groups[tab.url] = tab.group;
  EXPECT_EQ(groups["https://a.test/0"], groups["https://a.test/1"]);
  EXPECT_NE(groups["https://a.test/0"], groups["https://b.test/0"]);
  EXPECT_TRUE(engine.pendingLogs().empty());
}

TEST(EngineClosedTabs, WithoutASavedListNoTabIsClosedButTheRestOfTheRunGoesAhead) {
  Rig rig;
  rig.settle();
  fs::create_directory(rig.store.path(kClosedTabsFile));  // cannot be appended to, even by root
  Engine& engine = rig.start();
  Desktop desktop = twoBrowserWindows();
  desktop.app(100, "Editor", "com.example.editor").window(11, 100, "notes");
  rig.tickAt(desktop, kStart);
  std::vector<ActionResult> got;
  engine.actNow({Pick::window(11), Pick::tab(desktop.s.tabs[0])}, false,
                [&](const std::vector<ActionResult>& results, const auto& refused) {
                  got = results;
                  EXPECT_TRUE(refused.empty());
                });
  rig.finishRun();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].action.kind, ActionKind::closeTab);
  EXPECT_EQ(got[0].result, "failed: could not save the tab list");
  EXPECT_EQ(got[1].action.windowID, 11u);
  EXPECT_EQ(got[1].result, "done");
  ASSERT_EQ(rig.system->asked().size(), 1u);
  EXPECT_EQ(rig.system->asked()[0].kind, ActionKind::closeWindow);
  EXPECT_TRUE(engine.closedTabs().empty());
  EXPECT_TRUE(engine.pendingLogs().empty());
  EXPECT_EQ(engine.runs().front().actions, got);
}

TEST(EngineClosedTabs, TabsThatDidNotCloseLeaveFileAndList) {
  Rig rig;
  const Desktop desktop = twoBrowserWindows();
  Engine& engine = rig.startOn(desktop);
  rig.system->hook = [](const Action& action) {
    return action.tab->url == "https://a.test/0" ? Outcome::stopped() : Outcome::done();
  };
  engine.actNow({Pick::tab(desktop.s.tabs[0]), Pick::tab(desktop.s.tabs[4])}, false);
  rig.finishRun();
  EXPECT_EQ(urls(rig.store.lines<ClosedTab>(kClosedTabsFile)),
            std::vector<std::string>{"https://b.test/1"});
  EXPECT_EQ(urls(engine.closedTabs()), std::vector<std::string>{"https://b.test/1"});
  engine.forgetClosedTabs({engine.closedTabs()[0].id});
  EXPECT_TRUE(engine.closedTabs().empty());
  EXPECT_TRUE(rig.store.lines<ClosedTab>(kClosedTabsFile).empty());
}

TEST(EngineQueue, TwoWindowsOfOneBrowserAreQueuedSkippedAndLoggedApart) {
  Rig rig;
  Config config = settledConfig();
  config.limits.tabIdle = 60;
  const Desktop desktop = twoBrowserWindows();
  Engine& engine = rig.startOn(desktop, config);
  rig.tickAt(desktop, kStart + kMinute);
  ASSERT_EQ(engine.plan().size(), 2u);
  const Action first = engine.plan()[0];
  const Action second = engine.plan()[1];
  ASSERT_EQ(first.kind, ActionKind::closeBrowserWindow);
  EXPECT_NE(first.id(), second.id());

  engine.skip(first);
  engine.queue({Pick::tab(desktop.s.tabs[3]), Pick::tab(desktop.s.tabs[4])});  // all of window 2
  EXPECT_EQ(engine.plan().size(), 2u);
  EXPECT_EQ(engine.queuedIDs(), std::set<std::string>{second.id()});
  EXPECT_EQ(engine.skipped(), std::set<std::string>{first.id()});
  rig.tickAt(desktop, kSlot);
  EXPECT_EQ(engine.pendingLogs().size(), 1u);
  EXPECT_EQ(engine.pendingLogs().at(second.id()).size(), 2u);
  rig.finishRun();
  ASSERT_EQ(rig.system->asked().size(), 1u);
  EXPECT_EQ(rig.system->asked()[0].windowTabs, second.windowTabs);
  EXPECT_EQ(urls(engine.closedTabs()),
            (std::vector<std::string>{"https://b.test/0", "https://b.test/1"}));
  EXPECT_TRUE(engine.skipped().empty());  // the marks served their slot
  EXPECT_TRUE(engine.queued().empty());
}

TEST(EngineQueue, AQueuedPickServesOneRunAndNeverTheProcessThatReusesItsID) {
  Rig rig;
  Desktop desktop;
  desktop.proc(400, "build", "/opt/build/bin/build");
  Engine& engine = rig.startOn(desktop);
  engine.queue({Pick::process(400)});
  rig.tickAt(desktop, kSlot);
  rig.finishRun();
  ASSERT_EQ(rig.system->asked().size(), 1u);
  EXPECT_TRUE(engine.queued().empty());
  Desktop later;  // the ID now names another program
  later.proc(400, "editor", "/usr/local/bin/editor").started = kSlot + 60;
  rig.tickAt(later, kSlot + 900);
  rig.finishRun();
  EXPECT_EQ(rig.system->asked().size(), 1u);
}

Desktop editor() {
  Desktop d;
  d.app(100, "Editor", "com.example.editor").window(11, 100, "notes");
  d.app(200, "Keeper", "com.example.keeper").window(21, 200, "a").window(22, 200, "b");
  return d;
}

Config editorConfig() {
  Config config = settledConfig();
  config.limits.windowIdle = 60;
  config.allowlist.apps = {"com.example.keeper"};
  return config;
}

TEST(EngineQueue, QueueingAPlannedWindowUnskipsItAndUnqueueingSkipsIt) {
  Rig rig;
  const Desktop desktop = editor();
  Engine& engine = rig.startOn(desktop, editorConfig());
  rig.tickAt(desktop, kStart + kMinute);
  ASSERT_EQ(engine.plan().size(), 1u);
  const Action planned = engine.plan()[0];
  engine.skip(planned);
  engine.queue({Pick::window(11)});
  EXPECT_EQ(engine.plan(), std::vector<Action>{planned});  // once, as the planner's action
  EXPECT_TRUE(engine.skipped().empty());
  EXPECT_EQ(engine.queuedIDs(), std::set<std::string>{planned.id()});
  engine.unqueue({Pick::window(11)});
  EXPECT_TRUE(engine.queued().empty());
  EXPECT_EQ(engine.skipped(), std::set<std::string>{planned.id()});

  // A queued tab that moved in its window is still taken off by its key.
  const Desktop browser = twoBrowserWindows();
  rig.tickAt(browser, kStart + 2 * kMinute);
  engine.queue({Pick::tab(browser.s.tabs[1])});
  BrowserTab moved = browser.s.tabs[1];
  moved.index = 7;
  engine.unqueue({Pick::tab(moved)});
  EXPECT_TRUE(engine.queued().empty());
}

TEST(EngineKeep, PicksAddEachEntryOnceAndWriteOnlyWhatChanged) {
  Rig rig;
  rig.settle(editorConfig());
  Engine& engine = rig.start();
  EXPECT_EQ(engine.keep({Pick::app(100)}), 0);  // no snapshot yet
  Desktop desktop = editor();
  desktop.proc(400, "worker", "/opt/worker");
  rig.tickAt(desktop, kStart);
  EXPECT_EQ(engine.keep({Pick::app(100), Pick::process(400), Pick::app(200)}), 2);
  EXPECT_EQ(engine.config().allowlist.apps,
            (std::vector<std::string>{"com.example.keeper", "com.example.editor"}));
  EXPECT_EQ(engine.config().allowlist.processes, std::vector<std::string>{"/opt/worker"});
  fs::remove(rig.store.path("config.json"));
  EXPECT_EQ(engine.keep({Pick::app(100)}), 0);
  EXPECT_FALSE(rig.store.exists("config.json"));
}

TEST(EngineKeep, EntriesForPlannedActions) {
  Rig rig;
  rig.settle();
  Engine& engine = rig.start();
  Desktop desktop = editor();
  desktop.proc(400, "worker", "");
  rig.tickAt(desktop, kStart);
  using Entry = std::optional<ManualPlanner::KeepEntry>;
  const BrowserTab tab{.browser = "com.google.Chrome", .url = "https://Docs.Example.com/x"};
  const std::vector<std::pair<Action, Entry>> table = {
      {{.rule = Rule::tab, .kind = ActionKind::closeTab, .tab = tab},
       ManualPlanner::KeepEntry{KeepKind::site, "Docs.Example.com"}},
      {{.rule = Rule::tab, .kind = ActionKind::closeTab, .tab = BrowserTab{.url = "about:blank"}},
       std::nullopt},
      {{.rule = Rule::browserWindow, .kind = ActionKind::closeBrowserWindow, .pid = 100},
       std::nullopt},
      {{.rule = Rule::disk, .kind = ActionKind::cleanDisk}, std::nullopt},
      {{.rule = Rule::background, .kind = ActionKind::stopProcess, .pid = 400},
       ManualPlanner::KeepEntry{KeepKind::process, "worker"}},
      {{.rule = Rule::window, .kind = ActionKind::closeWindow, .pid = 100, .windowID = 11},
       ManualPlanner::KeepEntry{KeepKind::app, "com.example.editor"}},
      {{.rule = Rule::appUnused, .kind = ActionKind::quitApp, .pid = 999}, std::nullopt},
  };
  for (const auto& [action, entry] : table)
    EXPECT_EQ(engine.keepEntry(action), entry) << action.id();
  engine.keep(table[0].first);
  EXPECT_EQ(engine.config().allowlist.sites, std::vector<std::string>{"Docs.Example.com"});
}

TEST(EngineMemory, AProcessBackSoonAfterItWasStoppedIsNeverPlannedAgain) {
  Rig rig;
  Config config = settledConfig();
  config.limits.backgroundIdle = 60;
  rig.settle(config);
  Engine& engine = rig.start();
  Desktop desktop;
  desktop.proc(400, "agent", "/opt/agent/bin/agent");
  rig.tickAt(desktop, kStart);
  rig.tickAt(desktop, kStart + kMinute);
  ASSERT_EQ(engine.plan().size(), 1u);
  engine.actNow({Pick::process(400)}, false);
  rig.finishRun();
  Desktop back;  // the agent's supervisor started it again three minutes later
  back.proc(401, "agent", "/opt/agent/bin/agent").started = kStart + 3 * kMinute;
  rig.tickAt(back, kStart + 3 * kMinute);
  EXPECT_EQ(engine.memory().respawning, std::set<std::string>{"/opt/agent/bin/agent"});
  EXPECT_EQ(rig.store.load<Memory>("history.json")->respawning, engine.memory().respawning);
  rig.tickAt(back, kStart + 4 * kMinute);
  rig.tickAt(back, kStart + 5 * kMinute);
  EXPECT_TRUE(engine.plan().empty());
  engine.keepRespawning("/opt/agent/bin/agent");
  EXPECT_TRUE(engine.memory().respawning.empty());
  EXPECT_EQ(engine.config().allowlist.processes, std::vector<std::string>{"/opt/agent/bin/agent"});
}

TEST(EngineObservers, HearOnlyRealChanges) {
  Rig rig;
  rig.settle(editorConfig());
  Engine& engine = rig.start();
  std::vector<std::pair<EngineProperty, Change>> heard;
  auto listen = [&](EngineProperty p, Change c) { heard.emplace_back(p, c); };
  engine.observe(EngineProperty::plan, listen);
  const uint64_t running = engine.observe(EngineProperty::running, listen);
  const Desktop desktop = editor();
  rig.tickAt(desktop, kStart);
  rig.tickAt(desktop, kStart + 30);
  EXPECT_TRUE(heard.empty());  // nothing planned yet, twice
  rig.tickAt(desktop, kStart + kMinute);
  const decltype(heard) planned = {{EngineProperty::plan, Change::willChange},
                                   {EngineProperty::plan, Change::didChange}};
  EXPECT_EQ(heard, planned);
  rig.tickAt(desktop, kStart + 90);  // the same plan again: still "idle 1m"
  EXPECT_EQ(heard, planned);
  heard.clear();
  engine.actNow({Pick::window(22)}, false);  // Keeper is allowlisted: refused, no run starts
  engine.actNow({Pick::window(11)}, false);
  rig.finishRun();
  const decltype(heard) flips = {{EngineProperty::running, Change::willChange},
                                 {EngineProperty::running, Change::didChange},
                                 {EngineProperty::running, Change::willChange},
                                 {EngineProperty::running, Change::didChange}};
  EXPECT_EQ(heard, flips);
  engine.unobserve(running);
  engine.actNow({Pick::window(11)}, false);
  rig.finishRun();
  EXPECT_EQ(heard, flips);
}

}  // namespace
}  // namespace kelvane
