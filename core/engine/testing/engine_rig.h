#pragma once
// Test rig for the engine: a real Store over a fresh folder, a clock the test
// moves, a manual main queue, the fake SystemActions, and a small desktop to
// build snapshots from.
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "core/config/config.h"
#include "core/engine/engine.h"
#include "core/engine/executor.h"
#include "core/engine/main_queue.h"
#include "core/engine/testing/fake_system.h"
#include "core/support/calendar.h"
#include "core/support/testing/temp_dir.h"

namespace kelvane::testing {

inline constexpr uint32_t kMe = 501;
inline constexpr double kMinute = 60;
inline constexpr double kDay = 86400;
// Monday 2026-03-02 10:00:30 UTC; the slots of a 15-minute schedule fall on
// 10:15, 10:30, ... and the last Sunday 03:00 lies a day and a bit before.
inline const Date kStart = *Date::fromISO8601("2026-03-02T10:00:30Z");

// A configuration whose learning has ended and whose limits are all a week,
// so that nothing is planned unless a test lowers a limit. No usage alerts.
inline Config settledConfig(Date now = kStart) {
  Config config = Config::fresh(now);
  config.learningUntil = now - kDay;
  for (const LimitField field : Limits::allFields)
    if (field != LimitField::cpuHogShare) config.limits.at(field) = 7 * kDay;
  config.usageAlerts.on = false;
  return config;
}

// A small desktop. Applications live under /Applications and belong to kMe.
struct Desktop {
  Snapshot s;

  Desktop() {
    s.at = kStart;
    s.me = kMe;
    s.boot = kStart - kDay;
    s.session = 7;
    s.axTrusted = true;
  }
  Proc& proc(int32_t pid, const std::string& name, const std::string& path) {
    s.procs.push_back(
        {.pid = pid, .ppid = 1, .uid = kMe, .name = name, .path = path, .started = kStart - 3600});
    return s.procs.back();
  }
  Desktop& app(int32_t pid, const std::string& name, const std::string& bundleID) {
    proc(pid, name, "/Applications/" + name + ".app/Contents/MacOS/" + name);
    s.apps.push_back({.pid = pid,
                      .bundleID = bundleID,
                      .name = name,
                      .bundlePath = "/Applications/" + name + ".app"});
    return *this;
  }
  Desktop& window(uint32_t id, int32_t pid, const std::string& title) {
    std::string owner;
    for (const RunningApp& a : s.apps)
      if (a.pid == pid) owner = a.name;
    s.windows.push_back({.id = id, .pid = pid, .app = owner, .title = title, .axSeen = true});
    return *this;
  }
  Desktop& tab(int64_t windowID, int64_t index, const std::string& url) {
    s.tabs.push_back({.browser = "com.google.Chrome",
                      .windowID = windowID,
                      .tabID = std::to_string(windowID * 100 + index),
                      .index = index,
                      .url = url,
                      .title = "Page " + url,
                      .active = index == 0});
    return *this;
  }
  Snapshot at(Date moment) const {
    Snapshot copy = s;
    copy.at = moment;
    return copy;
  }
};

// Chrome (pid 300) with no windows of its own, and the tabs a test adds.
inline Desktop browserDesktop() {
  Desktop d;
  d.app(300, "Chrome", "com.google.Chrome");
  return d;
}

// Where a test that writes thousands of files keeps its folder: in memory
// (/dev/shm) when there is one, where the store's flushes to disk cost nothing.
inline std::filesystem::path scratchParent(bool inMemory) {
  std::error_code ec;
  if (inMemory && std::filesystem::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0)
    return "/dev/shm";
  return std::filesystem::temp_directory_path();
}

// An engine over a fresh folder. Files may be written into `dir` before start().
struct Rig {
  explicit Rig(bool inMemory = false) : dir(scratchParent(inMemory)) {}
  TempDir dir;
  Store store{dir.path()};
  std::shared_ptr<ManualMainQueue> main = std::make_shared<ManualMainQueue>();
  std::shared_ptr<Date> clock = std::make_shared<Date>(kStart);
  std::shared_ptr<FakeSystem> system = std::make_shared<FakeSystem>();
  std::shared_ptr<DiskRunControl> control = std::make_shared<DiskRunControl>();
  Calendar calendar = Calendar::utc();
  std::shared_ptr<Engine> engine;

  // Writes a settled configuration and a schedule that is not a first start.
  void settle(const Config& config = settledConfig()) {
    (void)store.save(config, "config.json");
    (void)store.save(ScheduleState{.lastWeeklyRun = kStart - 3600}, "schedule.json");
  }
  Engine& start(bool withExecutor = true) {
    Execute execute = withExecutor ? Executor::over(system) : Execute();
    engine = Engine::create(
        main, store, [clock = clock] { return *clock; }, nullptr, std::move(execute), calendar,
        control);
    return *engine;
  }
  // Settles the folder with `config`, starts, and ticks once with `desktop`.
  Engine& startOn(const Desktop& desktop, const Config& config = settledConfig()) {
    settle(config);
    start();
    tickAt(desktop, kStart);
    return *engine;
  }
  // Moves the clock to `moment` and ticks with the desktop seen then.
  void tickAt(const Desktop& desktop, Date moment) {
    *clock = moment;
    engine->tick(desktop.at(moment));
  }
  // Waits for the run in flight to come back and finishes it.
  void finishRun() {
    while (engine->running())
      if (main->waitAndDrain() == 0) break;
  }
  // Ticks every minute from the clock's time to `until`, finishing runs as they come.
  void tickEveryMinute(const Desktop& desktop, Date until) {
    for (Date t = *clock + kMinute; t <= until; t = t + kMinute) {
      tickAt(desktop, t);
      finishRun();
    }
  }
};

}  // namespace kelvane::testing
