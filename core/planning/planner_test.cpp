#include "core/planning/planner.h"

#include <set>
#include <tuple>

#include <gtest/gtest.h>

#include "core/planning/testing/chrome_tab.h"

namespace kelvane {
namespace {

const Date kNow(800'000'000);
constexpr uint32_t kMe = 501;
using testing::chromeTab;
using testing::kChrome;

Proc proc(int32_t pid, std::string name, int32_t ppid = 1) {
  return Proc{.pid = pid,
              .ppid = ppid,
              .uid = kMe,
              .name = name,
              .path = "/opt/" + name,
              .rss = static_cast<uint64_t>(pid) * 1000,
              .started = Date(1000)};
}

struct Desk {
  Snapshot s;
  Activity a;
  Config c = Config::fresh(kNow);
  Desk() {
    s.at = kNow;
    s.me = kMe;
    s.axTrusted = true;  // the window list is complete
  }
  void add(Proc p) { s.procs.push_back(std::move(p)); }
  // CPU samples showing `used` seconds over the last `seconds` seconds.
  void cpu(int32_t pid, double used, double seconds) {
    a.cpu[pid] = {{kNow - seconds, 100}, {kNow, 100 + used}};
  }
  std::vector<Action> plan() const { return Planner::plan(s, a, c); }
};

Action expectedQuit(Rule rule, const Proc& p, std::string target, std::string reason) {
  return Action{.rule = rule,
                .kind = ActionKind::quitApp,
                .pid = p.pid,
                .target = std::move(target),
                .reason = std::move(reason),
                .memory = p.rss,
                .path = p.path,
                .started = p.started};
}

TEST(Planner, ApplicationsBeforeTheirWindowsAndNeverTheFrontmost) {
  Desk d;
  d.s.apps = {
      {.pid = 30, .name = "Notes"}, {.pid = 20, .name = "Maps"}, {.pid = 40, .name = "Front"}};
  d.add(proc(20, "Maps"));
  d.add(proc(30, "Notes"));
  d.add(proc(40, "Front"));
  d.s.frontPID = 40;
  d.s.windows = {{.id = 1, .pid = 30, .app = "Notes", .axSeen = true},
                 {.id = 2, .pid = 40, .app = "Front", .title = "Doc", .axSeen = true}};
  d.a.appNoWindowsSince[20] = kNow - 3600;  // exactly the limit
  d.a.appActive = {{20, kNow - 99999}, {30, kNow - 14400}, {40, kNow - 99999}};
  d.a.windowFocused = {{1, kNow - 99999}, {2, kNow - 7200}};
  EXPECT_EQ(d.plan(),
            (std::vector<Action>{
                expectedQuit(Rule::appNoWindows, d.s.procs[0], "Maps", "no windows for 1h 00m"),
                expectedQuit(Rule::appUnused, d.s.procs[1], "Notes", "not used for 4h 00m"),
                Action{.rule = Rule::window,
                       .kind = ActionKind::closeWindow,
                       .pid = 40,
                       .windowID = 2,
                       .target = "Front · Doc",
                       .reason = "idle 2h 00m"},
            }));
  d.a.appActive[30] = kNow - 14399;
  d.a.appNoWindowsSince[20] = kNow - 3599;
  d.a.appActive[20] = kNow;
  EXPECT_EQ(d.plan().size(), 2u);  // only the two windows
}

TEST(Planner, UnknownWindowsNeverReadAsNoWindows) {
  Desk d;
  d.s.axTrusted = false;  // taken without a display: no window list at all
  d.s.apps = {{.pid = 20, .name = "Maps"}};
  d.add(proc(20, "Maps"));
  d.a.appNoWindowsSince[20] = kNow - 99999;
  d.a.appActive[20] = kNow - 99999;
  EXPECT_TRUE(d.plan().empty());
  d.s.axTrusted = true;
  EXPECT_EQ(d.plan().size(), 1u);
}

TEST(Planner, WindowsThatMayClose) {
  Desk d;
  d.s.apps = {{.pid = 50, .name = "Editor"},
              {.pid = 60, .bundleID = kChrome, .name = "Chrome"},
              {.pid = 70, .name = "Menu", .policy = AppPolicy::accessory}};
  for (const int32_t pid : {50, 60, 70}) d.add(proc(pid, "p"));
  d.s.focusedWindow = 4;
  const auto w = [](uint32_t id, int32_t pid, std::string title, bool axSeen = true) {
    return WindowInfo{.id = id, .pid = pid, .app = "Editor", .title = title, .axSeen = axSeen};
  };
  d.s.windows = {w(1, 50, "main.c"),   w(2, 50, ""),      w(3, 50, "Editor"), w(4, 50, "x"),
                 w(5, 50, "x", false), w(6, 50, "young"), w(7, 60, "x"),      w(8, 70, "x"),
                 w(9, 50, "unknown"),  w(1, 50, "main.c")};
  for (uint32_t id = 1; id <= 8; ++id) d.a.windowFocused[id] = kNow - 7200;
  d.a.windowFocused[6] = kNow - 7199;
  std::vector<std::string> planned;
  for (const Action& action : d.plan()) planned.push_back(action.target + " | " + action.reason);
  EXPECT_EQ(planned, (std::vector<std::string>{"Editor · main.c | idle 2h 00m",
                                               "Editor | idle 2h 00m", "Editor | idle 2h 00m"}));
}

// Chrome (pid 10) with four windows: 1 wholly idle; 2 idle but with a kept
// and an unrestorable tab; 3 in view with an idle background tab; 4 never
// viewed. Safari's tabs are not swept.
Desk browserDesk() {
  Desk d;
  d.s.apps = {{.pid = 10, .bundleID = kChrome, .name = "Chrome"},
              {.pid = 11, .bundleID = "com.apple.Safari", .name = "Safari"}};
  d.add(proc(10, "Chrome"));
  d.add(proc(11, "Safari"));
  d.c.allowlist.sites = {"kept.test"};
  d.s.tabs = {chromeTab(1, "https://a.test/", "A", true),
              chromeTab(1, "https://b.test/", "B"),
              chromeTab(2, "https://c.test/", "C", true),
              chromeTab(2, "https://d.test/", "D"),
              chromeTab(2, "https://www.kept.test/", "Kept"),
              chromeTab(2, "chrome://settings/", "Settings"),
              chromeTab(3, "https://g.test/", "G", true),
              chromeTab(3, "https://h.test/", "H"),
              chromeTab(4, "https://i.test/", "I"),
              chromeTab(2, "https://d.test/", "D again"),
              chromeTab(9, "https://s.test/", "S")};
  d.s.tabs.back().browser = "com.apple.Safari";
  for (const BrowserTab& t : d.s.tabs) d.a.tabViewed[t.key()] = kNow - 18000;
  d.a.tabViewed[d.s.tabs[6].key()] = kNow;
  d.a.tabViewed.erase(d.s.tabs[8].key());
  return d;
}

TEST(Planner, IdleBrowserWindowsCloseWholeAndKeptTabsKeepTheirWindow) {
  const Desk d = browserDesk();
  const auto actions = d.plan();
  ASSERT_EQ(actions.size(), 3u);
  EXPECT_EQ(actions[0], (Action{.rule = Rule::browserWindow,
                                .kind = ActionKind::closeBrowserWindow,
                                .pid = 10,
                                .target = "Chrome · 2 tabs · A",
                                .reason = "no tab viewed for 5h 00m",
                                .path = "/opt/Chrome",
                                .started = Date(1000),
                                .windowTabs = std::vector<BrowserTab>{d.s.tabs[0], d.s.tabs[1]}}));
  EXPECT_EQ(actions[1].kind, ActionKind::closeTab);
  EXPECT_EQ(actions[1].tab, d.s.tabs[3]);  // once, though listed twice
  EXPECT_EQ(actions[1].target, "Chrome · D");
  EXPECT_EQ(actions[1].reason, "not viewed for 5h 00m");
  EXPECT_EQ(actions[2].tab, d.s.tabs[7]);
}

TEST(Planner, BrowserWindowTargetFallsBackToFirstTabAndItsAddress) {
  Desk d = browserDesk();
  d.s.tabs[0].active = false;
  d.s.tabs[0].title = "";
  EXPECT_EQ(d.plan()[0].target, "Chrome · 2 tabs · https://a.test/");
}

TEST(Planner, BrowserPlannedToQuitKeepsItsWindowsAndTabs) {
  Desk d = browserDesk();
  d.a.appActive[10] = kNow - 14400;
  const auto actions = d.plan();
  ASSERT_EQ(actions.size(), 1u);  // Chrome quits; nothing else
  EXPECT_EQ(actions[0].rule, Rule::appUnused);
  d.a.appActive.clear();
  d.s.frontPID = 10;  // in front: not quit, and its tabs may still close
  d.a.appActive[10] = kNow - 14400;
  EXPECT_EQ(d.plan().size(), 3u);
}

TEST(Planner, IdleTerminalSessionsStopAsAWhole) {
  Desk d;
  const auto inTerminal = [&](int32_t pid, std::string name, int32_t ppid, std::string tty,
                              uint32_t uid = kMe) {
    Proc p = proc(pid, name, ppid);
    p.tty = tty;
    p.uid = uid;
    d.add(p);
    d.cpu(pid, 0.4, 3600);
  };
  inTerminal(199, "login", 1, "ttys001", 0);
  inTerminal(200, "zsh", 199, "ttys001");
  inTerminal(150, "vim", 200, "ttys001");  // a lower ID under the shell
  inTerminal(300, "zsh", 1, "ttys002");
  inTerminal(301, "sudo", 300, "ttys002", 0);  // another user's process under the shell
  inTerminal(400, "zsh", 1, "ttys003");
  d.a.cpu.erase(400);  // not measured yet
  inTerminal(500, "zsh", 1, "ttys004");
  inTerminal(600, "zsh", 1, "ttys005");
  d.cpu(600, 1.0, 3600);  // one CPU-second is not idle
  d.s.ttyIdle = {{"ttys001", 3600},
                 {"ttys002", 9999},
                 {"ttys003", 9999},
                 {"ttys004", 3599},
                 {"ttys005", 9999}};
  Action want{.rule = Rule::session,
              .kind = ActionKind::stopProcess,
              .pid = 200,
              .target = "zsh · ttys001",
              .reason = "idle 1h 00m",
              .memory = 200'000,
              .path = "/opt/zsh",
              .started = Date(1000),
              .tty = "ttys001",
              .minIdle = 3600};
  EXPECT_EQ(d.plan(), std::vector<Action>{want});
}

TEST(Planner, ServersBackgroundProcessesAndHogs) {
  Desk d;
  d.s.apps = {{.pid = 50, .name = "Editor"},
              {.pid = 602, .name = "Menu Extra", .policy = AppPolicy::accessory}};
  d.add(proc(50, "Editor"));
  Proc server = proc(600, "node");
  server.listenPorts = {3000, 3001};
  d.add(server);
  d.a.connSeen[600] = kNow - 1800;
  d.cpu(600, 0.5, 1860);
  for (const auto& [pid, name, ppid] : std::vector<std::tuple<int32_t, std::string, int32_t>>{
           {601, "helper", 1}, {602, "menu", 1}, {603, "child", 50}, {604, "tmux", 1}}) {
    d.add(proc(pid, name, ppid));
    d.cpu(pid, 0.5, 3660);
  }
  Proc shell = proc(605, "zsh", 604);  // keeps tmux above it
  shell.tty = "ttys009";
  d.add(shell);
  const auto hog = [&](int32_t pid, double used, std::optional<std::string> tty) {
    Proc p = proc(pid, "hog" + std::to_string(pid));
    p.tty = tty;
    d.add(p);
    d.cpu(pid, used, 600);
  };
  hog(606, 480, {});
  hog(607, 474, {});
  hog(608, 570, "ttys010");  // in a terminal in use
  hog(609, 900, "ttys011");
  hog(611, 900, "ttys012");  // in a terminal whose idle time is unknown
  d.add(proc(610, "unmeasured"));
  d.s.ttyIdle = {{"ttys010", 5}, {"ttys011", 3600}};
  std::vector<std::string> planned;
  for (const Action& a : d.plan())
    planned.push_back(std::string(rawValue(a.rule)) + " " + std::string(rawValue(a.kind)) + " " +
                      std::to_string(a.pid) + " " + a.target + " | " + a.reason);
  EXPECT_EQ(planned, (std::vector<std::string>{
                         "devServer stopProcess 600 node · port 3000, 3001 | no requests for 30m",
                         "background stopProcess 601 helper | no CPU for 1h 00m",
                         "background quitApp 602 Menu Extra | no CPU for 1h 00m",
                         "cpuHog stopProcess 606 hog606 | 80% CPU for 10m",
                         "cpuHog stopProcess 609 hog609 | 150% CPU for 10m",
                     }));
}

TEST(Planner, BadSnapshotsNeitherHangNorTouchProtectedProcesses) {
  Desk d = browserDesk();
  const auto idle = [&](Proc p) {
    d.cpu(p.pid, 0, 3660);
    d.add(std::move(p));
  };
  Proc looped = proc(700, "loop", 701);
  looped.tty = "ttys001";
  idle(looped);
  idle(proc(701, "loop", 700));
  idle(proc(702, "self", 702));
  idle(proc(703, "orphan", 99999));
  Proc nopath = proc(704, "nopath");
  nopath.path.clear();
  idle(nopath);
  Proc theirs = proc(705, "theirs");
  theirs.uid = 0;
  idle(theirs);
  idle(proc(705, "mine"));  // the same ID again: the first record counts
  d.s.ttyIdle["ttys001"] = 99999;
  d.s.tabs.push_back(chromeTab(5, "http://exa mple.test/ x", "broken"));
  d.a.tabViewed[d.s.tabs.back().key()] = kNow - 99999;
  const auto actions = d.plan();
  std::set<int32_t> pids;
  for (const Action& a : actions) pids.insert(a.pid);
  EXPECT_EQ(pids, (std::set<int32_t>{10, 700, 702, 703}));
  EXPECT_EQ(actions.size(), 6u);  // window 1, tabs D and H, the looped terminal, self, orphan
  EXPECT_EQ(actions, d.plan());
}

}  // namespace
}  // namespace kelvane
