// The engine's start on real folders: what it loads, what it repairs, what it writes.
#include <cmath>
#include <csignal>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/engine/engine.h"
#include "core/engine/testing/engine_rig.h"

namespace kelvane {
namespace {

using namespace testing;
namespace fs = std::filesystem;

std::string text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream out;
  out << in.rdbuf();
  return out.str();
}

void write(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::set<std::string> names(const fs::path& dir) {
  std::set<std::string> out;
  for (const auto& entry : fs::directory_iterator(dir)) out.insert(entry.path().filename());
  return out;
}

TEST(EngineStart, FirstStartWritesItsFilesAndLearnsForADay) {
  Rig rig;
  Engine& engine = rig.start();
  EXPECT_EQ(rig.store.load<ScheduleState>("schedule.json"),
            (ScheduleState{.lastWeeklyRun = kStart}));
  const auto stored =
      Config::fromJSON(std::string_view(*rig.store.read("config.json")), kStart - 999);
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->learningUntil, kStart + kDay);
  EXPECT_TRUE(engine.learning());
  *rig.clock = kStart + kDay - 1;
  EXPECT_TRUE(engine.learning());
  *rig.clock = kStart + kDay;
  EXPECT_FALSE(engine.learning());
  EXPECT_EQ(engine.nextRunAt(), kSlot);
  EXPECT_FALSE(engine.configReadOnly());
}

TEST(EngineStart, AFirstStartExtendsAShorterLearningToADay) {
  Rig rig;
  Config config = settledConfig();  // learning ended yesterday, but no schedule yet
  (void)rig.store.save(config, "config.json");
  Engine& engine = rig.start();
  EXPECT_EQ(engine.config().learningUntil, kStart + kDay);
  EXPECT_EQ(
      Config::fromJSON(std::string_view(*rig.store.read("config.json")), kStart)->learningUntil,
      kStart + kDay);
  EXPECT_EQ(engine.config().limits, config.limits);  // the rest is the user's
}

TEST(EngineStart, InvalidConfigIsSetAsideAndAFreshOneWritten) {
  Rig rig;
  rig.settle();
  write(rig.store.path("config.json"), "{\"scheduleMinutes\": 5,");
  write(rig.store.path("config.json.bad"), "an older one");
  Engine& engine = rig.start();
  EXPECT_EQ(text(rig.store.path("config.json.bad")), "{\"scheduleMinutes\": 5,");
  const auto fresh = Config::fromJSON(std::string_view(*rig.store.read("config.json")), kStart);
  ASSERT_TRUE(fresh);
  EXPECT_EQ(*fresh, Config::fresh(kStart));
  EXPECT_EQ(engine.config(), Config::fresh(kStart));
  EXPECT_FALSE(engine.configReadOnly());
}

TEST(EngineStart, ARepairedValueKeepsTheUsersTextAside) {
  Rig rig;
  rig.settle();
  const std::string users =
      R"({"scheduleMinutes":"often","browsers":["com.apple.Safari"],"learningUntil":"2026-01-01T00:00:00Z"})";
  write(rig.store.path("config.json"), users);
  Engine& engine = rig.start();
  EXPECT_EQ(text(rig.store.path("config.json.bad")), users);
  const auto cleaned = Config::fromJSON(std::string_view(*rig.store.read("config.json")), kStart);
  ASSERT_TRUE(cleaned);
  EXPECT_FALSE(cleaned->decodeIssues);
  EXPECT_EQ(cleaned->scheduleMinutes, 15);
  EXPECT_EQ(cleaned->browsers, std::vector<std::string>{"com.apple.Safari"});
  EXPECT_EQ(engine.config(), *cleaned);
  EXPECT_FALSE(engine.config().decodeIssues);
}

// Runs `check` in a child process as the unprivileged user "nobody" when the
// tests run as root (so that folder permissions bind), and returns whether it passed.
bool passesUnprivileged(const fs::path& dir, const std::function<bool()>& check) {
  constexpr uid_t kNobody = 65534;
  const bool root = ::geteuid() == 0;
  if (root) {
    for (const auto& entry : fs::recursive_directory_iterator(dir))
      if (::lchown(entry.path().c_str(), kNobody, kNobody) != 0) return false;
    if (::lchown(dir.c_str(), kNobody, kNobody) != 0) return false;
  }
  const pid_t child = ::fork();
  if (child == 0) {
    const bool dropped =
        !root || (::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0);
    ::_exit(dropped && check() ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

TEST(EngineStart, AReadOnlyFolderLeavesTheConfigurationAsItIs) {
  Rig rig;
  write(rig.store.path("config.json"), "{broken");
  fs::permissions(rig.dir.path(), fs::perms::owner_read | fs::perms::owner_exec);
  const bool passed = passesUnprivileged(rig.dir.path(), [&] {
    Engine& engine = rig.start();
    const bool started = engine.configReadOnly() && engine.lastWeeklyRunUnsaved() &&
                         engine.schedule().lastWeeklyRun == kStart &&
                         names(rig.dir.path()) == std::set<std::string>{"config.json"};
    // Once the folder can be written again, schedule saves leave out the
    // first start's mark and the configuration is still never written.
    fs::permissions(rig.dir.path(), fs::perms::owner_all);
    engine.cancelNextRun();
    Config config = engine.config();
    config.scheduleMinutes = 30;
    engine.update(config);
    return started && text(rig.store.path("config.json")) == "{broken" &&
           // The cancellation followed the slot the new period moved to.
           rig.store.load<ScheduleState>("schedule.json") ==
               ScheduleState{.cancelledRunAt = kSlot + 900} &&
           engine.config().scheduleMinutes == 30;
  });
  fs::permissions(rig.dir.path(), fs::perms::owner_all);
  EXPECT_TRUE(passed);
}

// Runs `scenario` in a child process and tells whether it ended well within
// `seconds`; a child that hangs is killed.
bool endsWellWithin(int seconds, const std::function<bool()>& scenario) {
  const pid_t child = ::fork();
  if (child == 0) ::_exit(scenario() ? 0 : 1);
  for (int waited = 0; waited < seconds * 100; ++waited) {
    int status = 0;
    if (::waitpid(child, &status, WNOHANG) == child)
      return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    ::usleep(10'000);
  }
  ::kill(child, SIGKILL);
  ::waitpid(child, nullptr, 0);
  return false;
}

TEST(EngineStart, OddFilesInTheSupportFolderNeitherHangNorBreakIt) {
  Rig rig;
  rig.settle();
  const auto at = [&](const char* name) { return rig.store.path(name); };
  fs::remove(at("config.json"));
  ASSERT_EQ(::mkfifo(at("config.json").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo(at("runs.jsonl").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", at("activity.json"));
  fs::create_directory(at("history.json"));
  fs::create_symlink(at("loop"), at("loop"));
  fs::create_symlink("loop", at("screen-time.json"));
  const bool ended = endsWellWithin(30, [&] {
    Engine& engine = rig.start();
    Desktop desktop;
    desktop.app(100, "Editor\xff\xfe", "com.example.editor").window(11, 100, "r\xe9sum\xe9");
    rig.tickAt(desktop, kStart);
    engine.runNow();
    engine.save();
    // A run is recorded in memory even though its log cannot take it.
    return !engine.configReadOnly() && engine.runs().size() == 1 &&
           fs::is_fifo(at("config.json.bad")) && fs::is_regular_file(at("config.json")) &&
           fs::is_regular_file(at("activity.json")) && fs::is_fifo(at("runs.jsonl")) &&
           fs::is_directory(at("history.json"));
  });
  EXPECT_TRUE(ended);
}

TEST(EngineStart, SnapshotsAtTimesNoCalendarCanPlaceAreIgnored) {
  Rig rig;
  rig.settle();
  Engine& engine = rig.start();
  for (const double t : {std::nan(""), HUGE_VAL, -HUGE_VAL, 1e300, -1e300})
    engine.tick(Desktop().at(Date(t)));
  EXPECT_FALSE(engine.snapshot());
  EXPECT_EQ(engine.nextRunAt(), kSlot);
  rig.tickAt(Desktop(), kSlot);
  EXPECT_EQ(engine.runs().size(), 1u);
}

TEST(EngineStart, ScreenTimeOfAnotherDayStartsAfresh) {
  const Date today = Calendar::utc().startOfDay(kStart);
  for (const Date day : {today - kDay, today}) {
    Rig rig;
    rig.settle();
    (void)rig.store.save(ScreenTime{.day = day, .windows = {{4, 120}}}, "screen-time.json");
    Engine& engine = rig.start();
    EXPECT_EQ(engine.screenTime().day, today);
    EXPECT_EQ(engine.screenTime().seconds(4), day == today ? 120 : 0);
  }
}

TEST(EngineStart, RunsOfTheDayAndLastResultsOfTheNewestLiveRunThatDidSomething) {
  Rig rig;
  rig.settle();
  const ActionResult closed{
      .action = {.rule = Rule::window, .kind = ActionKind::closeWindow, .target = "Editor"},
      .result = "done"};
  auto run = [&](double ago, RunMode mode, std::vector<ActionResult> actions) {
    const RunRecord record{Uuid::random(), kStart - ago, mode, std::move(actions)};
    (void)rig.store.append(record);
    return record;
  };
  const RunRecord ancient = run(31 * kDay, RunMode::live, {closed});
  const RunRecord yesterday = run(2 * kDay, RunMode::live, {closed});
  const RunRecord live = run(5 * 3600, RunMode::live, {closed});
  ActionResult would = closed;
  would.result = "would run";
  std::vector<RunRecord> newer;
  for (const RunMode mode : {RunMode::learning, RunMode::paused, RunMode::cancelled, RunMode::held})
    newer.push_back(run(4 * 3600 - static_cast<double>(newer.size()), mode, {would}));
  newer.push_back(run(3600, RunMode::live, {}));
  (void)rig.store.appendLines(
      std::vector<ClosedTab>{{.id = Uuid::random(), .at = kStart - 31 * kDay},
                             {.id = Uuid::random(), .at = kStart - kDay}},
      kClosedTabsFile);

  Engine& engine = rig.start();
  EXPECT_EQ(engine.lastResults(), std::vector<ActionResult>{closed});
  ASSERT_EQ(engine.runs().size(), 6u);
  EXPECT_EQ(engine.runs().front(), newer.back());  // newest first
  EXPECT_EQ(engine.runs().back(), live);
  // The files keep thirty days.
  EXPECT_EQ(rig.store.lines<RunRecord>(kRunsFile).front(), yesterday);
  EXPECT_EQ(rig.store.lines<ClosedTab>(kClosedTabsFile).size(), 1u);
  EXPECT_EQ(engine.closedTabs().size(), 1u);
}

TEST(EngineSettings, UpdateMovesACancellationOnlyWhenTheSlotMoves) {
  Rig rig;
  rig.settle();
  Engine& engine = rig.start();
  engine.cancelNextRun();
  Config config = engine.config();
  config.limits.windowIdle = 3600;
  engine.update(config);
  EXPECT_EQ(engine.nextRunAt(), kSlot);
  EXPECT_TRUE(engine.nextRunCancelled());
  config.scheduleMinutes = 60;
  engine.update(config);
  const Date eleven = *Date::fromISO8601("2026-03-02T11:00:00Z");
  EXPECT_EQ(engine.nextRunAt(), eleven);
  EXPECT_EQ(engine.schedule().cancelledRunAt, eleven);
  EXPECT_EQ(rig.store.load<ScheduleState>("schedule.json")->cancelledRunAt, eleven);
  EXPECT_EQ(
      Config::fromJSON(std::string_view(*rig.store.read("config.json")), kStart)->scheduleMinutes,
      60);
}

TEST(EngineSettings, UsageStateIsWrittenWhenMoreThanItsEvaluationTimeChanged) {
  Rig rig;
  Config config = settledConfig();
  config.usageAlerts.on = true;
  rig.settle(config);
  Engine& engine = rig.start();
  Desktop desktop;
  desktop.s.health.pressure = 1;
  rig.tickAt(desktop, kStart + 10);  // the first evaluation records the pressure level
  const auto first = rig.store.load<UsageWatchState>("usage-watch.json");
  ASSERT_TRUE(first);
  EXPECT_EQ(first->lastEvaluated, kStart + 10);
  rig.tickAt(desktop, kStart + 70);  // only the time moved
  EXPECT_EQ(rig.store.load<UsageWatchState>("usage-watch.json"), first);
  EXPECT_EQ(engine.usageWatch().lastEvaluated, kStart + 70);
  engine.save();
  EXPECT_EQ(rig.store.load<UsageWatchState>("usage-watch.json"), engine.usageWatch());
  engine.quietForToday("pressure");
  const auto quiet = rig.store.load<UsageWatchState>("usage-watch.json");
  EXPECT_EQ(quiet->quietUntil.at("pressure"), Calendar::utc().startOfDay(kStart) + kDay);
  EXPECT_EQ(quiet->quietPressureLevel, 2);
}

}  // namespace
}  // namespace kelvane
