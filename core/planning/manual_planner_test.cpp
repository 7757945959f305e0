#include "core/planning/manual_planner.h"

#include <gtest/gtest.h>

#include "core/disk/disk_planner.h"
#include "core/planning/testing/chrome_tab.h"

namespace kelvane {
namespace {

constexpr uint32_t kMe = 501;
using testing::chromeTab;
using testing::kChrome;

Proc proc(int32_t pid, std::string name, std::string path) {
  return Proc{.pid = pid,
              .ppid = 1,
              .uid = kMe,
              .name = std::move(name),
              .path = std::move(path),
              .rss = 4096,
              .started = Date(1000)};
}

// Chrome (pid 10) with system windows 100 (its browser window 1, two tabs) and
// 101 (browser window 2, one tab); an editor (pid 20) with window 200; a
// command-line server (pid 30) and a background tool (pid 31).
struct Desk {
  Snapshot s;
  Config c = Config::fresh(Date(0));
  Desk() {
    s.me = kMe;
    s.axTrusted = true;
    s.apps = {{.pid = 10, .bundleID = kChrome, .name = "Chrome"},
              {.pid = 20, .bundleID = "com.example.editor", .name = "Editor"}};
    s.procs = {proc(10, "Google Chrome", "/Applications/Chrome.app/Contents/MacOS/Chrome"),
               proc(20, "Editor", "/Applications/Editor.app/Contents/MacOS/Editor"),
               proc(30, "node", "/opt/bin/node"), proc(31, "indexer", "/opt/bin/indexer")};
    s.procs[2].listenPorts = {3000};
    s.windows = {{.id = 100, .pid = 10, .app = "Google Chrome", .title = "A", .axSeen = true},
                 {.id = 101, .pid = 10, .app = "Google Chrome", .title = "C", .axSeen = true},
                 {.id = 200, .pid = 20, .app = "Editor", .title = "notes.txt", .axSeen = true}};
    s.tabs = {chromeTab(1, "https://a.test/", "A", true), chromeTab(1, "https://b.test/x", "B"),
              chromeTab(2, "https://c.test/", "C", true)};
    s.browserWindowOf = {{100, {.browser = kChrome, .windowID = 1}},
                         {101, {.browser = kChrome, .windowID = 2}}};
  }
  ManualPlanner::Picked pick(std::vector<Pick> picks, bool quitNow = false,
                             const std::optional<DiskScan>& scan = std::nullopt) const {
    return ManualPlanner::actions(picks, s, c, scan, quitNow);
  }
  std::optional<std::string> refusal(const Pick& p) const {
    return ManualPlanner::refusal(p, s, c, std::nullopt);
  }
};

Action wholeWindow(const Desk& d, std::vector<BrowserTab> tabs, std::string target) {
  return Action{.rule = Rule::browserWindow,
                .kind = ActionKind::closeBrowserWindow,
                .pid = 10,
                .target = std::move(target),
                .reason = "you picked it",
                .path = d.s.procs[0].path,
                .started = Date(1000),
                .windowTabs = std::move(tabs)};
}

TEST(ManualPlanner, EveryTabOfAWindowClosesTheWindowOnce) {
  const Desk d;
  const auto& t = d.s.tabs;
  const auto picked =
      d.pick({Pick::tab(t[1]), Pick::tab(t[0]), Pick::window(100), Pick::window(101),
              Pick::tab(t[2]), Pick::window(200), Pick::window(200)});
  EXPECT_TRUE(picked.refused.empty());
  // Both whole windows of one browser share an action id; neither may be lost.
  EXPECT_EQ(picked.actions,
            (std::vector<Action>{wholeWindow(d, {t[0], t[1]}, "Chrome · 2 tabs · A"),
                                 wholeWindow(d, {t[2]}, "Chrome · 1 tabs · C"),
                                 Action{.rule = Rule::window,
                                        .kind = ActionKind::closeWindow,
                                        .pid = 20,
                                        .windowID = 200,
                                        .target = "Editor · notes.txt",
                                        .reason = "you picked it",
                                        .path = d.s.procs[1].path,
                                        .started = Date(1000)}}));
  // Some of a window's tabs close one by one, the one shown included.
  EXPECT_EQ(d.pick({Pick::tab(t[0]), Pick::tab(t[0])}).actions,
            std::vector<Action>{(Action{.rule = Rule::tab,
                                        .kind = ActionKind::closeTab,
                                        .pid = 10,
                                        .target = "Chrome · A",
                                        .reason = "you picked it",
                                        .path = d.s.procs[0].path,
                                        .started = Date(1000),
                                        .tab = t[0],
                                        .closeShown = true})});
}

TEST(ManualPlanner, WindowRefusalsInOrder) {
  Desk d;
  d.s.windows.push_back({.id = 300, .pid = 20, .axSeen = false});
  d.s.windows.push_back({.id = 301, .pid = 99});
  d.s.windows.push_back({.id = 102, .pid = 10, .axSeen = true});  // not matched to a browser window
  d.s.browserWindowOf[103] = {.browser = kChrome, .windowID = 7};
  d.s.windows.push_back({.id = 103, .pid = 10, .axSeen = true});  // matched, but no tabs known
  EXPECT_EQ(d.refusal(Pick::window(999)), "gone");
  EXPECT_EQ(d.refusal(Pick::window(301)), "gone");  // its process is gone
  EXPECT_EQ(d.refusal(Pick::window(300)), "helper window");
  EXPECT_EQ(d.refusal(Pick::window(102)), "can't tell which window; visit its Space");
  EXPECT_EQ(d.refusal(Pick::window(103)), "its tabs can't be read");
  EXPECT_EQ(d.refusal(Pick::window(100)), std::nullopt);

  d.s.tabs[1].url = "https://www.Kept.test/";
  d.c.allowlist.sites = {"kept.test"};
  EXPECT_EQ(d.refusal(Pick::window(100)), "allowlisted tab");
  d.s.tabs[1].url = "chrome://downloads/";
  EXPECT_EQ(d.refusal(Pick::window(100)), "a tab can't be restored");
  d.s.automationDenied = {kChrome};
  EXPECT_EQ(d.refusal(Pick::window(100)), "no Automation permission");
  d.s.axTrusted = false;
  EXPECT_EQ(d.refusal(Pick::window(100)), "no Accessibility");  // even for a browser
  EXPECT_EQ(d.refusal(Pick::window(200)), "no Accessibility");
}

TEST(ManualPlanner, WindowsOfTheAppItselfOrGuardedProcesses) {
  Desk d;
  d.s.procs[1].name = "Kelvane";
  EXPECT_EQ(d.refusal(Pick::window(200)), "Kelvane");
  d.s.procs[1].name = "Finder";  // a window of a protected process may close
  d.s.frontPID = 20;             // and so may one of the frontmost application
  EXPECT_EQ(d.refusal(Pick::window(200)), std::nullopt);
  d.c.allowlist.apps = {"Editor"};
  EXPECT_EQ(d.refusal(Pick::window(200)), "allowlisted");
  // A browser window whose owner has no application record is still a browser's.
  d.s.apps.erase(d.s.apps.begin());
  d.s.procs[0].bundleID = kChrome;
  d.s.automationDenied = {kChrome};
  EXPECT_EQ(d.refusal(Pick::window(100)), "no Automation permission");
}

TEST(ManualPlanner, TabRefusals) {
  Desk d;
  BrowserTab moved = d.s.tabs[1];
  moved.url = "https://elsewhere.test/";
  EXPECT_EQ(d.refusal(Pick::tab(moved)), "gone");
  d.s.tabs.push_back(chromeTab(3, "about:blank", "New Tab"));
  d.s.tabs.push_back(chromeTab(3, "javascript:void(0)", "Script"));
  d.s.tabs.push_back(chromeTab(3, "https://docs.kept.test/", "Kept"));
  d.c.allowlist.sites = {"kept.test"};
  EXPECT_EQ(d.refusal(Pick::tab(d.s.tabs[3])), std::nullopt);
  EXPECT_EQ(d.refusal(Pick::tab(d.s.tabs[4])), "cannot be restored");
  EXPECT_EQ(d.refusal(Pick::tab(d.s.tabs[5])), "allowlisted");
  d.c.allowlist.apps = {kChrome};
  EXPECT_EQ(d.refusal(Pick::tab(d.s.tabs[3])), "allowlisted");  // the guard's reason
  d.s.apps.erase(d.s.apps.begin());                             // the browser quit
  EXPECT_EQ(d.refusal(Pick::tab(d.s.tabs[3])), "gone");
}

TEST(ManualPlanner, QuitNowOverridesOnlyTheAllowlistAndTheFront) {
  Desk d;
  d.c.allowlist.apps = {"Editor"};
  d.s.procs.push_back(proc(40, "root tool", "/opt/bin/tool"));
  d.s.procs.back().uid = 0;
  const std::vector<Pick> picks = {Pick::app(20), Pick::app(10), Pick::process(40), Pick::app(77)};
  d.s.frontPID = 10;
  auto picked = d.pick(picks);
  EXPECT_TRUE(picked.actions.empty());
  EXPECT_EQ(picked.refused, (std::vector<ManualPlanner::Refused>{{picks[0], "allowlisted"},
                                                                 {picks[1], "in use"},
                                                                 {picks[2], "other user"},
                                                                 {picks[3], "gone"}}));
  picked = d.pick(picks, /*quitNow=*/true);
  ASSERT_EQ(picked.actions.size(), 2u);
  EXPECT_EQ(picked.actions[0].pid, 20);
  EXPECT_EQ(picked.actions[1].pid, 10);
  EXPECT_EQ(picked.actions[1].quitNow, true);
  EXPECT_EQ(picked.refused,
            (std::vector<ManualPlanner::Refused>{{picks[2], "other user"}, {picks[3], "gone"}}));
  // A refusal asked for alone never assumes quitNow.
  EXPECT_EQ(d.refusal(picks[0]), "allowlisted");
}

TEST(ManualPlanner, ProcessPicksQuitAppsAndStopTheRest) {
  const Desk d;
  for (const bool quitNow : {false, true}) {
    std::vector<std::string> made;
    for (const Action& a :
         d.pick({Pick::process(20), Pick::process(30), Pick::process(31), Pick::app(20)}, quitNow)
             .actions)
      made.push_back(std::string(rawValue(a.rule)) + " " + std::string(rawValue(a.kind)) + " " +
                     a.target + (a.quitNow ? " now" : ""));
    EXPECT_EQ(made, (std::vector<std::string>{
                        quitNow ? "appUnused quitApp Editor now" : "appUnused quitApp Editor",
                        "devServer stopProcess node", "background stopProcess indexer"}));
  }
}

TEST(ManualPlanner, DiskRulesNeedAScanWithSomethingToClean) {
  const Desk d;
  const DiskScan scan{.at = Date(0),
                      .home = "/h",
                      .rules = {{DiskRule::logs, {}},
                                {DiskRule::caches, {.items = {{.path = "/h/c", .bytes = 5}}}}}};
  const auto refuse = [&](DiskRule rule, const std::optional<DiskScan>& s) {
    return ManualPlanner::refusal(Pick::diskRule(rule), d.s, d.c, s);
  };
  EXPECT_EQ(refuse(DiskRule::caches, std::nullopt), "not measured yet");
  EXPECT_EQ(refuse(DiskRule::trash, scan), "not measured yet");
  EXPECT_EQ(refuse(DiskRule::logs, scan), "nothing to clean");
  const auto picked = d.pick({Pick::diskRule(DiskRule::caches)}, false, scan);
  EXPECT_EQ(picked.actions, std::vector<Action>{*DiskPlanner::action(DiskRule::caches, scan, d.c)});
}

TEST(ManualPlanner, RefusalsByKeyLeaveOutAcceptedPicks) {
  const Desk d;
  const std::vector<std::pair<std::string, Pick>> items = {
      {"editor", Pick::app(20)}, {"gone", Pick::process(404)}, {"disk", Pick::diskRule({})}};
  EXPECT_EQ(ManualPlanner::refusals(items, d.s, d.c, std::nullopt),
            (std::map<std::string, std::string>{{"gone", "gone"}, {"disk", "not measured yet"}}));
}

TEST(ManualPlanner, KeepEntries) {
  Desk d;
  d.s.apps.push_back({.pid = 31, .name = "Indexer"});
  d.s.procs.push_back(proc(32, "pathless", ""));
  const auto keep = [&](const Pick& p) { return ManualPlanner::keepEntry(p, d.s); };
  using Entry = ManualPlanner::KeepEntry;
  EXPECT_EQ(keep(Pick::window(100)), std::nullopt);  // a browser window
  EXPECT_EQ(keep(Pick::window(200)), (Entry{KeepKind::app, "com.example.editor"}));
  EXPECT_EQ(keep(Pick::window(404)), std::nullopt);
  EXPECT_EQ(keep(Pick::tab(chromeTab(1, "https://Docs.Example.test:8443/x", "x"))),
            (Entry{KeepKind::site, "docs.example.test"}));
  EXPECT_EQ(keep(Pick::tab(chromeTab(1, "file:///Users/me/a.html", "a"))), std::nullopt);
  EXPECT_EQ(keep(Pick::app(31)), (Entry{KeepKind::app, "Indexer"}));
  EXPECT_EQ(keep(Pick::process(20)), (Entry{KeepKind::app, "com.example.editor"}));
  EXPECT_EQ(keep(Pick::process(30)), (Entry{KeepKind::process, "/opt/bin/node"}));
  EXPECT_EQ(keep(Pick::process(32)), (Entry{KeepKind::process, "pathless"}));
  EXPECT_EQ(keep(Pick::diskRule(DiskRule::caches)), std::nullopt);
  // Windows of the known browsers keep nothing even when not matched to a browser window.
  d.s.browserWindowOf.clear();
  EXPECT_EQ(keep(Pick::window(100)), std::nullopt);
}

}  // namespace
}  // namespace kelvane
