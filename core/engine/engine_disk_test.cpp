// Disk cleanups through the engine: the weekly mark, pause, stop, progress,
// picked files and the disk settings.
#include <filesystem>
#include <fstream>
#include <future>

#include <gtest/gtest.h>

#include "core/config/format.h"
#include "core/engine/engine.h"
#include "core/engine/testing/engine_rig.h"

namespace kelvane {
namespace {

using namespace testing;
namespace fs = std::filesystem;

const Date kSlot = *Date::fromISO8601("2026-03-02T10:15:00Z");
const Date kWeeksAgo = kStart - 9 * kDay;  // before last Sunday 03:00: the weekly rules are due

DiskRuleScan found(const std::string& path, int64_t bytes) {
  return {.items = {{.path = path, .root = fs::path(path).parent_path(), .bytes = bytes}},
          .bytes = bytes};
}

DiskScan scanOf(std::map<DiskRule, DiskRuleScan> rules) {
  return {.at = kStart, .home = "/home/u", .rules = std::move(rules)};
}

// A cleanup worker that reports its row, waits for the test's go, then asks
// the control whether to go on: a stop cuts it short.
struct Worker {
  std::shared_ptr<DiskRunControl> control;
  std::shared_future<void> go;

  Outcome operator()(const Action& action) const {
    const std::string row(DiskRules::rawValue(*action.disk->rule));
    control->report()(DiskProgress::started(row));
    go.wait();
    if (control->proceed()) {
      control->report()(DiskProgress::finished(row, true, 10, false, false));
      return Outcome::done();
    }
    control->report()(DiskProgress::finished(row, true, 5, false, true));
    return row == "caches" ? Outcome{.result = "done", .note = "stopped after 1 of 2 items"}
                           : Outcome::stopped();
  }
};

struct DiskRig : Rig {
  std::promise<void> go;
  DiskRig() {
    Config config = settledConfig();
    config.projectRoots = {"~/Projects"};
    (void)store.save(config, "config.json");
    (void)store.save(ScheduleState{.lastWeeklyRun = kWeeksAgo}, "schedule.json");
    system->hook = Worker{control, go.get_future().share()};
  }
  // Starts with `scan` and ticks once.
  Engine& startWith(DiskScan scan) {
    start();
    engine->updateDisk(std::move(scan));
    tickAt(Desktop(), kStart);
    return *engine;
  }
};

TEST(EngineDisk, AStopDuringTheWeeklyBuildsCleanupLeavesTheWeeklyRulesDue) {
  DiskRig rig;
  Engine& engine =
      rig.startWith(scanOf({{DiskRule::builds, found("/home/u/Projects/app/target", 900)}}));
  const Desktop desktop;
  ASSERT_EQ(engine.plan().size(), 1u);
  EXPECT_TRUE(engine.planIncludesWeekly());

  rig.tickAt(desktop, kSlot);
  EXPECT_EQ(engine.schedule().lastWeeklyRun, kSlot);  // marked while it runs
  ASSERT_TRUE(engine.diskRun());
  EXPECT_EQ(engine.diskRun()->rows, std::set<std::string>{"builds"});
  rig.main->waitAndDrain();  // the worker's first report
  EXPECT_EQ(engine.diskRun()->current, "builds");
  std::vector<ActionResult> stopped;
  engine.stopDisk([&](const std::vector<ActionResult>& results) { stopped = results; });
  EXPECT_TRUE(engine.diskRun()->stopping);
  rig.go.set_value();
  rig.finishRun();
  ASSERT_EQ(stopped.size(), 1u);
  EXPECT_EQ(stopped[0].result, "skipped: stopped");
  EXPECT_EQ(engine.schedule().lastWeeklyRun, kWeeksAgo);
  EXPECT_EQ(rig.store.load<ScheduleState>("schedule.json")->lastWeeklyRun, kWeeksAgo);
  EXPECT_FALSE(engine.diskRun());
  EXPECT_TRUE(engine.memory().cleaned.empty());
}

TEST(EngineDisk, APauseThatRunsPastItsLimitBecomesAStopAndTheResultsSaySo) {
  DiskRig rig;
  Engine& engine = rig.startWith(scanOf({{DiskRule::caches, found("/home/u/Library/Caches/a", 10)},
                                         {DiskRule::logs, found("/home/u/Library/Logs/b", 10)}}));
  const Desktop desktop;
  rig.tickAt(desktop, kSlot);
  ASSERT_TRUE(engine.running());
  std::vector<ActionResult> told;
  engine.pauseDisk([&](const std::vector<ActionResult>& results) { told = results; });
  EXPECT_EQ(engine.diskRun()->pausedUntil, kSlot + Engine::pauseLimit);
  rig.go.set_value();
  rig.tickAt(desktop, kSlot + Engine::pauseLimit - 1);
  EXPECT_FALSE(engine.diskRun()->stopping);
  rig.tickAt(desktop, kSlot + Engine::pauseLimit);
  EXPECT_TRUE(engine.diskRun()->stopping);
  EXPECT_TRUE(engine.pauseRanOut());
  rig.finishRun();
  ASSERT_EQ(told.size(), 2u);
  EXPECT_EQ(told[0].note, "stopped after 1 of 2 items; pause ran out");
  EXPECT_EQ(told[1].result, "skipped: stopped");
  EXPECT_EQ(told[1].note, "pause ran out");
  EXPECT_EQ(engine.lastResults(), told);
  EXPECT_FALSE(engine.pauseRanOut());
  // A cut-short cleanup is not a complete one.
  EXPECT_TRUE(engine.memory().cleaned.empty());
}

TEST(EngineDisk, ProgressReachesTheRunAndResumeReleasesTheWorker) {
  DiskRig rig;
  Engine& engine = rig.startWith(scanOf({{DiskRule::logs, found("/home/u/Library/Logs/b", 10)}}));
  const Desktop desktop;
  rig.tickAt(desktop, kSlot);
  std::vector<std::optional<DiskRun>> seen;
  engine.observe(EngineProperty::diskRun, [&](EngineProperty, Change change) {
    if (change == Change::didChange) seen.push_back(engine.diskRun());
  });
  engine.pauseDisk();
  rig.go.set_value();
  for (int i = 0; i < 100 && !engine.diskRun()->holding; ++i) rig.main->waitAndDrain();
  ASSERT_TRUE(engine.diskRun()->holding);
  engine.resumeDisk();
  EXPECT_FALSE(engine.diskRun()->paused);
  rig.finishRun();
  ASSERT_GE(seen.size(), 3u);
  const auto finished = seen[seen.size() - 2];  // the last state before the run ended
  ASSERT_TRUE(finished);
  EXPECT_EQ(finished->status("logs"), DiskRun::Status::finished(true, 10, false, false));
  EXPECT_FALSE(seen.back());
  EXPECT_EQ(engine.memory().cleaned, (std::map<std::string, Date>{{"logs", kSlot}}));
  // Cleaned items that are gone leave the scan.
  EXPECT_TRUE(engine.diskScan()->rules.at(DiskRule::logs).items.empty());
  EXPECT_EQ(engine.diskScan()->rules.at(DiskRule::logs).bytes, 0);
}

TEST(EngineDisk, PickedFilesGoToTheTrashExceptKeptOnes) {
  Rig rig;
  TempDir home;
  const std::string a = (home.path() / "a.iso").string();
  const std::string b = (home.path() / "b.iso").string();
  const std::string kept = (home.path() / "kept.iso").string();
  for (const auto& path : {a, b, kept}) std::ofstream(path) << "x";
  Config config = settledConfig();
  config.allowlist.paths = {"~/kept.iso"};
  rig.settle(config);
  rig.system->hook = [](const Action& action) {
    for (const DiskItem& item : action.disk->items) fs::remove(item.path);
    return Outcome::done();
  };
  Engine& engine = rig.start();
  engine.updateDisk(
      {.at = kStart,
       .home = home.path().string(),
       .suggestions = {
           {.path = a, .bytes = 2'000'000}, {.path = b, .bytes = 7}, {.path = kept, .bytes = 9}}});
  EXPECT_EQ(engine.diskScan()->suggestions.size(), 2u);  // the kept file is not suggested
  std::vector<ActionResult> got;
  engine.trashFiles({a, kept}, [&](const std::vector<ActionResult>& r) { got = r; });
  EXPECT_EQ(engine.diskRun()->rows, std::set<std::string>{"picked"});
  rig.finishRun();
  ASSERT_EQ(got.size(), 1u);
  const Action& trash = got[0].action;
  EXPECT_EQ(trash.target, "1 files you picked");
  EXPECT_EQ(trash.reason, "to the Trash · " + Format::fileBytes(2'000'000));
  ASSERT_EQ(trash.disk->items.size(), 1u);
  EXPECT_EQ(trash.disk->items[0].path, a);
  EXPECT_TRUE(trash.disk->trash);
  EXPECT_TRUE(fs::exists(kept));
  ASSERT_EQ(engine.diskScan()->suggestions.size(), 1u);
  EXPECT_EQ(engine.diskScan()->suggestions[0].path, b);
}

TEST(EngineDisk, RulesSwitchedOffAndIgnoredFilesLeaveThePlanAndTheSuggestions) {
  DiskRig rig;
  Engine& engine = rig.start();
  DiskScan scan = scanOf({{DiskRule::caches, found("/home/u/Library/Caches/a", 10)},
                          {DiskRule::logs, found("/home/u/Library/Logs/b", 10)}});
  scan.suggestions = {{.path = "/home/u/big"}, {.path = "/home/u/old"}};
  engine.updateDisk(scan);
  rig.tickAt(Desktop(), kStart);
  ASSERT_EQ(engine.plan().size(), 2u);
  engine.setDiskRules({DiskRule::logs, DiskRule::caches}, false);
  EXPECT_EQ(engine.config().diskOff, (std::vector<std::string>{"caches", "logs"}));
  EXPECT_TRUE(engine.plan().empty());
  engine.setDiskRules({DiskRule::caches}, true);
  EXPECT_EQ(engine.config().diskOff, std::vector<std::string>{"logs"});
  EXPECT_EQ(engine.plan().size(), 1u);
  engine.ignoreFiles({"/home/u/old", "/home/u/gone"});
  EXPECT_EQ(engine.config().ignoredFiles,
            (std::vector<std::string>{"/home/u/gone", "/home/u/old"}));
  ASSERT_EQ(engine.diskScan()->suggestions.size(), 1u);
  EXPECT_EQ(engine.diskScan()->suggestions[0].path, "/home/u/big");
}

TEST(EngineDisk, DiskFailuresOutliveATickWithoutAScan) {
  DiskRig rig;
  rig.system->hook = [](const Action&) { return Outcome::failed("disk busy"); };
  Engine& engine = rig.start();
  engine.updateDisk(scanOf({{DiskRule::logs, found("/home/u/Library/Logs/b", 10)}}));
  const Desktop desktop;
  for (int i = 0; i < 3; ++i) {
    rig.tickAt(desktop, kSlot + 900 * i);
    rig.finishRun();
  }
  EXPECT_TRUE(engine.plan().empty());
  engine.setDiskScan(std::nullopt);  // as after a restart, before the first scan
  rig.tickAt(desktop, kSlot + 2700);
  engine.updateDisk(scanOf({{DiskRule::logs, found("/home/u/Library/Logs/b", 10)}}));
  EXPECT_TRUE(engine.plan().empty());
  EXPECT_EQ(engine.needsYou().back(),
            std::string(DiskRules::title(DiskRule::logs)) + ": left alone after 3 failed runs");
}

}  // namespace
}  // namespace kelvane
