#include "core/model/activity.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

constexpr double kHorizon = 3720;
const Date kT0(800'000'000);

Snapshot at(Date t) {
  Snapshot s;
  s.at = t;
  s.boot = Date(700'000'000.25);
  s.session = 7;
  return s;
}

Proc proc(int32_t pid, double cpu, std::optional<Date> started = Date(0)) {
  return Proc{.pid = pid, .ppid = 1, .name = "p", .path = "/bin/p", .cpu = cpu, .started = started};
}

BrowserTab tab(int64_t window, std::string url, bool active, bool front) {
  return BrowserTab{.browser = "com.google.Chrome",
                    .windowID = window,
                    .url = std::move(url),
                    .active = active,
                    .front = front};
}

// A desktop with a browser (pid 10, with a window), an editor (pid 20, with a
// window) and a regular app without windows (pid 30).
Snapshot desktop(Date t) {
  Snapshot s = at(t);
  s.apps = {{.pid = 10, .bundleID = "com.google.Chrome", .name = "Chrome"},
            {.pid = 20, .bundleID = "com.editor", .name = "Editor"},
            {.pid = 30, .name = "Idle"},
            {.pid = 40, .name = "Menu", .policy = AppPolicy::accessory}};
  s.windows = {{.id = 1, .pid = 10}, {.id = 2, .pid = 20}};
  s.axTrusted = true;  // the window list is complete
  s.procs = {proc(10, 1), proc(20, 1), proc(30, 1), proc(40, 1)};
  return s;
}

TEST(Activity, FirstUpdateStartsEveryClockNow) {
  Snapshot s = desktop(kT0);
  Proc server = proc(50, 2);
  server.listenPorts = {3000};
  s.procs.push_back(server);
  s.tabs = {tab(1, "https://a.test/", true, true), tab(1, "https://b.test/", false, true)};
  const Activity a = Activity().updated(s, {}, kHorizon);
  EXPECT_EQ(a.windowFocused, (WindowClocks{{1, kT0}, {2, kT0}}));
  EXPECT_EQ(a.appActive.size(), 4u);
  EXPECT_EQ(a.appNoWindowsSince, (ProcessClocks{{30, kT0}}));  // not the accessory
  EXPECT_EQ(a.connSeen, (ProcessClocks{{50, kT0}}));
  EXPECT_EQ(a.tabViewed.size(), 2u);
  EXPECT_EQ(a.tabViewed.at(s.tabs[1].key()), kT0);
  EXPECT_EQ(a.cpu.at(50), (CPUHistory{{kT0, 2}}));
  EXPECT_EQ(
      a.windowShown,
      (std::unordered_map<std::string, std::string>{{"com.google.Chrome:1", s.tabs[0].key()}}));
  EXPECT_EQ(a.boot, s.boot);
  EXPECT_EQ(a.lastSample, kT0);
  EXPECT_EQ(a.session, 7);
}

TEST(Activity, FocusClocksTakeTheLaterOfOldNotedAndNow) {
  const Activity first = Activity().updated(desktop(kT0), {}, kHorizon);
  FocusLog focus;
  focus.note(20, 2, kT0 + 30);  // focused and left between the ticks
  focus.note(30, std::nullopt, kT0 + 40);
  Snapshot s = desktop(kT0 + 60);
  s.frontPID = 10;
  s.focusedWindow = 1;
  s.windows.push_back({.id = 3, .pid = 30});  // the idle app opened a window
  const Activity a = first.updated(s, focus, kHorizon);
  EXPECT_EQ(a.windowFocused, (WindowClocks{{1, kT0 + 60}, {2, kT0 + 30}, {3, kT0 + 60}}));
  EXPECT_EQ(a.appActive,
            (ProcessClocks{{10, kT0 + 60}, {20, kT0 + 30}, {30, kT0 + 40}, {40, kT0}}));
  EXPECT_TRUE(a.appNoWindowsSince.empty());
  // A focus noted earlier than the stored clock does not move it back.
  FocusLog stale;
  stale.note(20, 2, kT0 - 100);
  EXPECT_EQ(a.updated(desktop(kT0 + 90), stale, kHorizon).windowFocused.at(2), kT0 + 30);
}

TEST(Activity, AnUnknownWindowListSaysNoApplicationIsWindowless) {
  Snapshot blind = desktop(kT0);
  blind.axTrusted = false;
  blind.windows.clear();  // what a snapshot without a display holds
  const Activity unseen = Activity().updated(blind, {}, kHorizon);
  EXPECT_TRUE(unseen.appNoWindowsSince.empty());
  // A clock running when the window list is lost starts again once it is back.
  const Activity seen = Activity().updated(desktop(kT0), {}, kHorizon);
  blind.at = kT0 + 60;
  const Activity lost = seen.updated(blind, {}, kHorizon);
  EXPECT_TRUE(lost.appNoWindowsSince.empty());
  EXPECT_EQ(lost.updated(desktop(kT0 + 120), {}, kHorizon).appNoWindowsSince,
            (ProcessClocks{{30, kT0 + 120}}));
}

TEST(Activity, GoneThingsLoseTheirClocks) {
  Snapshot s = desktop(kT0);
  s.tabs = {tab(1, "https://a.test/", true, false)};
  const Activity first = Activity().updated(s, {}, kHorizon);
  const Activity a = first.updated(at(kT0 + 60), {}, kHorizon);
  EXPECT_TRUE(a.windowFocused.empty());
  EXPECT_TRUE(a.appActive.empty());
  EXPECT_TRUE(a.cpu.empty());
  EXPECT_TRUE(a.tabViewed.empty());
  EXPECT_TRUE(a.windowShown.empty());
}

TEST(Activity, ConnectionClockRunsOnlyWithoutConnections) {
  Snapshot s = at(kT0);
  Proc server = proc(50, 0);
  server.listenPorts = {3000};
  s.procs = {server};
  Activity a = Activity().updated(s, {}, kHorizon);
  s.at = kT0 + 60;
  a = a.updated(s, {}, kHorizon);
  EXPECT_EQ(a.connSeen.at(50), kT0);
  s.at = kT0 + 120;
  s.procs[0].established = 2;
  a = a.updated(s, {}, kHorizon);
  EXPECT_EQ(a.connSeen.at(50), kT0 + 120);
}

TEST(Activity, GapsAboveFiveMinutesShiftTheClocks) {
  Snapshot s = desktop(kT0);
  s.tabs = {tab(1, "https://a.test/", false, false)};
  Activity before = Activity().updated(s, {}, kHorizon);
  s.at = kT0 + 100;
  before = before.updated(s, {}, kHorizon);
  // After the gap the idle app's start is unknown and the accessory app started during it.
  s.procs = {proc(10, 1), proc(20, 1), proc(30, 1, std::nullopt), proc(40, 1, kT0 + 150)};

  s.at = kT0 + 399;
  const Activity aged = before.updated(s, {}, kHorizon);
  EXPECT_EQ(aged.windowFocused.at(2), kT0);
  EXPECT_EQ(aged.tabViewed.at(s.tabs[0].key()), kT0);
  EXPECT_EQ(aged.appNoWindowsSince.at(30), kT0);
  EXPECT_EQ(aged.cpu.at(10).size(), 3u);

  s.at = kT0 + 401;
  const Activity shifted = before.updated(s, {}, kHorizon);
  EXPECT_EQ(shifted.windowFocused.at(2), kT0 + 301);
  EXPECT_EQ(shifted.tabViewed.at(s.tabs[0].key()), kT0 + 301);
  EXPECT_EQ(shifted.appActive.at(20), kT0 + 301);
  // Unknown start, or started during the gap: a new process, whose clock starts now.
  EXPECT_EQ(shifted.appNoWindowsSince.at(30), kT0 + 401);
  EXPECT_EQ(shifted.appActive.at(40), kT0 + 401);
  EXPECT_EQ(shifted.cpu.at(10), (CPUHistory{{kT0 + 401, 1}}));
}

TEST(Activity, NewBootOrSessionEmptiesTheClocks) {
  const Activity first = Activity().updated(desktop(kT0), {}, kHorizon);
  Snapshot later = desktop(kT0 + 60);
  later.boot = first.boot.value() + 5;
  EXPECT_EQ(first.updated(later, {}, kHorizon), Activity().updated(later, {}, kHorizon));
  later = desktop(kT0 + 60);
  later.session = 8;
  EXPECT_EQ(first.updated(later, {}, kHorizon), Activity().updated(later, {}, kHorizon));
  // A record read back from disk keeps whole seconds only; that is not a reboot.
  const auto stored = decodeJson<Activity>(encodeValue(first).value());
  ASSERT_TRUE(stored);
  EXPECT_NE(stored->boot, later.boot);
  EXPECT_EQ(stored->updated(desktop(kT0 + 60), {}, kHorizon).cpu.at(10).size(), 2u);
}

TEST(Activity, CpuHistoryKeepsOneSampleBeforeTheHorizon) {
  Snapshot s = at(kT0);
  s.procs = {proc(5, 1), proc(5, 100)};  // a duplicate ID counts once, as first seen
  Activity a;
  for (int i = 0; i <= 100; ++i) {
    s.at = kT0 + 60 * i;
    s.procs[0].cpu = 1 + i;
    a = std::move(a).updated(s, {}, 150);
  }
  // The newest sample at or before 6000 - 150 is the one at 5820.
  EXPECT_EQ(a.cpu.at(5),
            (CPUHistory{{kT0 + 5820, 98}, {kT0 + 5880, 99}, {kT0 + 5940, 100}, {kT0 + 6000, 101}}));
  s.at = kT0 + 6060;
  s.procs[0].cpu = 0.5;  // the counter went backwards: a new process behind the same ID
  EXPECT_EQ(a.updated(s, {}, 150).cpu.at(5), (CPUHistory{{kT0 + 6060, 0.5}}));
  s.at = kT0 + 5000;  // so did the clock
  s.procs[0].cpu = 200;
  EXPECT_EQ(a.updated(s, {}, 150).cpu.at(5), (CPUHistory{{kT0 + 5000, 200}}));
}

TEST(Activity, CpuUsedScalesToTheWindow) {
  Activity a;
  a.cpu[1] = {{kT0 - 600, 10.0}, {kT0, 13.0}};
  a.cpu[2] = {{kT0 - 900, 10.0}, {kT0 - 300, 11.0}, {kT0, 13.0}};
  a.cpu[3] = {{kT0 - 599, 10.0}, {kT0, 13.0}};
  a.cpu[4] = {{kT0, 10.0}, {kT0, 13.0}};
  EXPECT_EQ(a.cpuUsed(1, 600, kT0), 3.0);
  EXPECT_EQ(a.cpuUsed(2, 600, kT0), 2.0);           // 3 over 900 s, scaled to 600 s
  EXPECT_EQ(a.cpuUsed(3, 600, kT0), std::nullopt);  // only samples inside the window
  EXPECT_EQ(a.cpuUsed(4, 0, kT0), std::nullopt);    // no time between the samples
  EXPECT_EQ(a.cpuUsed(9, 600, kT0), std::nullopt);
  EXPECT_EQ(a.cpuUsedAtLeast(2, 600, kT0), 2.0);           // from the sample at -300
  EXPECT_EQ(a.cpuUsedAtLeast(1, 600, kT0), 3.0);           // the boundary sample counts
  EXPECT_EQ(a.cpuUsedAtLeast(1, 100, kT0), std::nullopt);  // only the newest inside
}

TEST(Activity, CpuUsedFindsTheRightSampleInUnevenHistories) {
  Activity a;
  const std::vector<double> times = {0, 1, 2, 3, 100, 101, 500, 990, 991, 1000};
  for (size_t i = 0; i < times.size(); ++i) a.cpu[1].push_back({kT0 + times[i], double(i * i)});
  const Date now = kT0 + 1000;
  for (double window = 0; window <= 1002; window += 0.5) {
    std::optional<double> want;  // the newest sample at or before now - window, walked linearly
    for (size_t i = times.size(); i-- > 0;) {
      if (kT0 + times[i] <= now - window) {
        if (times[i] < 1000) want = window * (81 - double(i * i)) / (1000 - times[i]);
        break;
      }
    }
    EXPECT_EQ(a.cpuUsed(1, window, now), want) << window;
  }
}

// Tabs: 1 is the front window's active tab, 2 a background tab of it, 3 the
// active tab of a back window.
struct TabDesk {
  Snapshot s = desktop(kT0);
  TabDesk() {
    s.tabs = {tab(1, "https://one.test/", true, true), tab(1, "https://two.test/", false, true),
              tab(2, "https://three.test/", true, false)};
  }
  Date viewed(const Activity& a, size_t i) const { return a.tabViewed.at(s.tabs[i].key()); }
};

TEST(Activity, TabInViewNeverAgesAndOthersAgeFromFirstSeen) {
  TabDesk d;
  d.s.frontPID = 10;
  Activity a = Activity().updated(d.s, {}, kHorizon);
  for (int i = 1; i <= 3; ++i) {
    d.s.at = kT0 + 60 * i;
    a = a.updated(d.s, {}, kHorizon);
  }
  EXPECT_EQ(d.viewed(a, 0), kT0 + 180);
  EXPECT_EQ(d.viewed(a, 1), kT0);
  EXPECT_EQ(d.viewed(a, 2), kT0);
  EXPECT_EQ(a.tabsInView, (std::unordered_set<std::string>{d.s.tabs[0].key()}));
  // A browser that is not in front is not being looked at...
  d.s.frontPID = 20;
  d.s.at = kT0 + 240;
  a = a.updated(d.s, {}, kHorizon);  // ...but the tab just left is credited up to now,
  d.s.at = kT0 + 300;
  a = a.updated(d.s, {}, kHorizon);  // and ages from there.
  EXPECT_EQ(d.viewed(a, 0), kT0 + 240);
  EXPECT_TRUE(a.tabsInView.empty());
  // A browser brought to the front between the ticks counts as in use.
  FocusLog focus;
  focus.note(10, 1, kT0 + 320);
  d.s.at = kT0 + 360;
  EXPECT_EQ(d.viewed(a.updated(d.s, focus, kHorizon), 0), kT0 + 360);
}

TEST(Activity, SwitchingTabsCreditsBothTabs) {
  TabDesk d;
  d.s.frontPID = 10;
  Activity a = Activity().updated(d.s, {}, kHorizon);
  d.s.at = kT0 + 60;
  a = a.updated(d.s, {}, kHorizon);
  // The user switches from tab one to tab two in the front window, and tab
  // three's back window switches to a tab it already had.
  d.s.tabs[0].active = false;
  d.s.tabs[1].active = true;
  d.s.tabs.push_back(tab(2, "https://four.test/", false, false));
  d.s.at = kT0 + 120;
  a = a.updated(d.s, {}, kHorizon);
  d.s.tabs[2].active = false;
  d.s.tabs[3].active = true;
  d.s.at = kT0 + 180;
  a = a.updated(d.s, {}, kHorizon);
  EXPECT_EQ(d.viewed(a, 0), kT0 + 120);  // left between 60 and 120
  EXPECT_EQ(d.viewed(a, 1), kT0 + 180);  // in view since
  EXPECT_EQ(d.viewed(a, 2), kT0);
  EXPECT_EQ(d.viewed(a, 3), kT0 + 180);  // switched to
  EXPECT_EQ(a.windowShown.at("com.google.Chrome:2"), d.s.tabs[3].key());
}

TEST(Activity, JsonRoundTripAndLenientReading) {
  TabDesk d;
  d.s.frontPID = 10;
  Activity a = Activity().updated(d.s, {}, kHorizon);
  a.cpu[-3] = {{kT0, 1.5}};
  a.boot = kT0;  // whole seconds survive unchanged
  EXPECT_EQ(decodeJson<Activity>(encodeValue(a).value()), a);

  const auto read = decodeJson<Activity>(R"({
    "windowFocused": {"1": "2026-03-01T12:00:00Z", "x": "2026-03-01T12:00:00Z", "2": 5},
    "appActive": {"-1": "2026-03-01T12:00:00Z", "99999999999": "2026-03-01T12:00:00Z"},
    "cpu": {"4": [{"at": "2026-03-01T12:00:00Z", "cpu": 2}, {"cpu": 1}], "5": "x"},
    "tabsInView": ["a", 3], "windowShown": {"w": "a", "v": 1},
    "boot": "yesterday", "session": 1.5, "lastSample": "2026-03-01T12:00:00Z"})");
  ASSERT_TRUE(read);
  const Date noon = *Date::fromISO8601("2026-03-01T12:00:00Z");
  EXPECT_EQ(read->windowFocused, (WindowClocks{{1, noon}}));
  EXPECT_EQ(read->appActive, (ProcessClocks{{-1, noon}}));
  EXPECT_EQ(read->cpu, (CPUHistories{{4, {{noon, 2}}}}));
  EXPECT_EQ(read->tabsInView, (std::unordered_set<std::string>{"a"}));
  EXPECT_EQ(read->windowShown, (std::unordered_map<std::string, std::string>{{"w", "a"}}));
  EXPECT_EQ(read->boot, std::nullopt);
  EXPECT_EQ(read->session, std::nullopt);
  EXPECT_EQ(read->lastSample, noon);
  EXPECT_EQ(decodeJson<Activity>("{}"), Activity());
  EXPECT_EQ(decodeJson<Activity>("[1]"), Activity());
}

}  // namespace
}  // namespace kelvane
