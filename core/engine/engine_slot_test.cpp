// Ticks and slots: what each kind of slot records, acts on and leaves alone.
#include <algorithm>
#include <atomic>
#include <future>

#include <gtest/gtest.h>

#include "core/engine/engine.h"
#include "core/engine/testing/engine_rig.h"

namespace kelvane {
namespace {

using namespace testing;

const Date kSlot = *Date::fromISO8601("2026-03-02T10:15:00Z");
constexpr double kQuarter = 900;

// Editor (pid 100) with idle windows, Viewer (150) with window 15, and Keeper
// (200), allowlisted, whose windows are never planned but count as open.
Desktop office(std::vector<uint32_t> editorWindows = {11}, int keeperWindows = 2) {
  Desktop d;
  d.app(100, "Editor", "com.example.editor");
  for (uint32_t id : editorWindows) d.window(id, 100, "doc" + std::to_string(id));
  d.app(150, "Viewer", "com.example.viewer").window(15, 150, "pdf");
  d.app(200, "Keeper", "com.example.keeper");
  for (int i = 0; i < keeperWindows; ++i) d.window(21 + i, 200, "k");
  d.s.focusedWindow = 15;  // Viewer's window is in use: never planned.
  return d;
}

Config officeConfig(bool learning = false) {
  Config config = settledConfig();
  config.limits.windowIdle = 60;
  config.allowlist.apps = {"com.example.keeper"};
  if (learning) config.learningUntil = kStart + kDay;
  return config;
}

std::vector<uint32_t> windowsOf(const std::vector<Action>& actions) {
  std::vector<uint32_t> ids;
  for (const Action& a : actions) ids.push_back(a.windowID.value_or(0));
  return ids;
}

std::vector<RunMode> modes(const Engine& engine) {
  std::vector<RunMode> out;
  for (const RunRecord& run : engine.runs()) out.push_back(run.mode);
  return out;
}

// Starts the rig and ticks twice a minute apart, so that idle windows are planned.
Engine& started(Rig& rig, const Desktop& desktop, const Config& config) {
  Engine& engine = rig.startOn(desktop, config);
  rig.tickAt(desktop, kStart + kMinute);
  return engine;
}

TEST(EngineSlot, ATickAtExactlyTheSlotRunsIt) {
  Rig rig;
  const Desktop desktop = office();
  Engine& engine = started(rig, desktop, officeConfig(true));
  rig.tickAt(desktop, kSlot - 1);
  EXPECT_TRUE(engine.runs().empty());
  rig.tickAt(desktop, kSlot);
  ASSERT_EQ(engine.runs().size(), 1u);
  const RunRecord& run = engine.runs().front();
  EXPECT_EQ(run.mode, RunMode::learning);
  EXPECT_EQ(run.at, kSlot);
  ASSERT_EQ(run.actions.size(), 1u);
  EXPECT_EQ(run.actions[0].action.windowID, 11u);
  EXPECT_EQ(run.actions[0].result, "would run");
  EXPECT_EQ(engine.nextRunAt(), kSlot + kQuarter);
  EXPECT_TRUE(rig.system->asked().empty());
  EXPECT_EQ(rig.store.runs(kStart).size(), 1u);
}

TEST(EngineSlot, PausedSlotsRecordNothingAndCancelledOnesAreRecordedOnce) {
  Rig rig;
  const Desktop desktop = office();
  Engine& engine = started(rig, desktop, officeConfig());
  engine.pause(kSlot + kMinute);
  rig.tickAt(desktop, kSlot);
  EXPECT_TRUE(engine.runs().empty());
  EXPECT_EQ(engine.nextRunAt(), kSlot + kQuarter);
  rig.tickAt(desktop, kSlot + kMinute);  // the pause has ended
  EXPECT_EQ(engine.schedule().pausedUntil, std::nullopt);
  EXPECT_EQ(rig.store.load<ScheduleState>("schedule.json")->pausedUntil, std::nullopt);

  engine.cancelNextRun();
  EXPECT_TRUE(engine.nextRunCancelled());
  rig.tickAt(desktop, kSlot + kQuarter);
  ASSERT_EQ(modes(engine), std::vector<RunMode>{RunMode::cancelled});
  EXPECT_TRUE(engine.runs().front().actions.empty());
  EXPECT_EQ(engine.schedule().cancelledRunAt, std::nullopt);
  EXPECT_EQ(rig.store.load<ScheduleState>("schedule.json")->cancelledRunAt, std::nullopt);
  EXPECT_TRUE(rig.system->asked().empty());
}

TEST(EngineSlot, LearningRecordsWhatWouldRunAndStillActsOnQueuedPicks) {
  Rig rig;
  const Desktop desktop = office();
  Engine& engine = started(rig, desktop, officeConfig(true));
  engine.queue({Pick::window(15)});
  EXPECT_EQ(windowsOf(engine.plan()), (std::vector<uint32_t>{11, 15}));
  rig.tickAt(desktop, kSlot);
  rig.finishRun();
  EXPECT_EQ(modes(engine), (std::vector<RunMode>{RunMode::live, RunMode::learning}));
  EXPECT_EQ(windowsOf(rig.system->asked()), std::vector<uint32_t>{15});
  EXPECT_EQ(engine.runs()[1].actions[0].result, "would run");
  EXPECT_EQ(engine.runs()[0].actions[0].result, "done");
  EXPECT_TRUE(engine.queued().empty());
  EXPECT_EQ(windowsOf(engine.plan()), std::vector<uint32_t>{11});
}

TEST(EngineSlot, ASafetyReasonHoldsTheRunAndQueuedPicksAreActedOnAtOnce) {
  Rig rig;
  const Desktop desktop = office({11, 12, 13}, 1);  // 3 of 5 open windows would close
  Engine& engine = started(rig, desktop, officeConfig());
  engine.queue({Pick::window(15)});
  rig.tickAt(desktop, kSlot);
  rig.finishRun();
  ASSERT_TRUE(engine.held());
  EXPECT_EQ(engine.held()->reason, "would close 3 of 5 open windows");
  EXPECT_EQ(windowsOf(engine.held()->actions), (std::vector<uint32_t>{11, 12, 13}));
  EXPECT_EQ(modes(engine), (std::vector<RunMode>{RunMode::live, RunMode::held}));
  for (const ActionResult& result : engine.runs()[1].actions) EXPECT_EQ(result.result, "held");
  EXPECT_EQ(windowsOf(rig.system->asked()), std::vector<uint32_t>{15});

  engine.skip(engine.held()->actions[1]);
  engine.confirmHeld();
  EXPECT_FALSE(engine.held());
  rig.finishRun();
  auto asked = windowsOf(rig.system->asked());
  std::sort(asked.begin() + 1, asked.end());  // one run's actions answer in any order
  EXPECT_EQ(asked, (std::vector<uint32_t>{15, 11, 13}));
}

TEST(EngineSlot, ClosingAFewOfManyWindowsIsNotHeldWhenNoBrowserQuits) {
  // A browser's windows count with its tabs, not here, unless the run quits it.
  Rig rig;
  Desktop desktop = office({11}, 3);
  desktop.app(300, "Chrome", "com.google.Chrome").window(31, 300, "tabs");
  Engine& engine = started(rig, desktop, officeConfig());
  rig.tickAt(desktop, kSlot);
  rig.finishRun();
  EXPECT_FALSE(engine.held());
  EXPECT_EQ(windowsOf(rig.system->asked()), std::vector<uint32_t>{11});
}

TEST(EngineSlot, EveryQuarterHourOfADayRunsExactlyOnce) {
  Rig rig(/*inMemory=*/true);  // a day of ticks writes hundreds of files
  Config config = officeConfig(true);
  const Desktop desktop = office();
  Engine& engine = started(rig, desktop, config);
  for (Date t = kStart + 2 * kMinute; t <= kStart + kDay; t = t + kMinute) {
    rig.tickAt(desktop, t);
    ASSERT_GT(engine.nextRunAt(), t);
  }
  const auto runs = rig.store.runs(kStart);
  ASSERT_EQ(runs.size(), 96u);
  // Each slot runs at the first tick at or after it, 30 seconds past.
  for (size_t i = 0; i < runs.size(); ++i)
    EXPECT_EQ(runs[i].at, kSlot + 30 + kQuarter * static_cast<double>(i));
}

TEST(EngineSlot, ALiveSlotWhileARunIsInFlightIsDroppedWithoutARecord) {
  Rig rig;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  rig.system->hook = [released](const Action&) {
    released.wait();
    return Outcome::done();
  };
  const Desktop desktop = office();
  Engine& engine = started(rig, desktop, officeConfig());
  rig.tickAt(desktop, kSlot);
  EXPECT_TRUE(engine.running());
  rig.tickAt(desktop, kSlot + kQuarter);
  EXPECT_TRUE(engine.runs().empty());
  EXPECT_EQ(engine.nextRunAt(), kSlot + 2 * kQuarter);
  release.set_value();
  rig.finishRun();
  EXPECT_FALSE(engine.running());
  ASSERT_EQ(modes(engine), std::vector<RunMode>{RunMode::live});
  EXPECT_EQ(engine.runs().front().at, kSlot);
}

TEST(EngineSlot, AManualRunLeavesAloneWhatTheUserBroughtToTheFront) {
  Rig rig;
  Desktop desktop = office({11}, 3);
  desktop.s.focusedWindow = 99;  // Viewer's window 15 is idle too
  Engine& engine = started(rig, desktop, officeConfig());
  EXPECT_EQ(windowsOf(engine.plan()), (std::vector<uint32_t>{11, 15}));
  engine.noteFocus(150, 15, true);
  std::vector<RunRecord> added;
  engine.runNow([&](const std::vector<RunRecord>& runs) { added = runs; });
  EXPECT_TRUE(added.empty());  // told when the run has finished
  rig.finishRun();
  ASSERT_EQ(added.size(), 1u);
  EXPECT_EQ(windowsOf(rig.system->asked()), std::vector<uint32_t>{11});
  EXPECT_EQ(added[0], engine.runs().front());
}

TEST(EngineMemory, ThreeFailedRunsOfAWindowLeaveItAloneAndOneSuccessResets) {
  Rig rig;
  std::vector<Outcome> answers = {Outcome::needsYou("unsaved changes"),
                                  Outcome::failed("x"),
                                  Outcome::done(),
                                  Outcome::failed("x"),
                                  Outcome::failed("x"),
                                  Outcome::failed("x")};
  std::atomic<size_t> next{0};
  rig.system->hook = [&](const Action&) { return answers[next++]; };
  const Desktop desktop = office();
  Engine& engine = started(rig, desktop, officeConfig());
  rig.tickAt(desktop, kSlot);
  rig.finishRun();
  EXPECT_EQ(engine.needsYou(),
            std::vector<std::string>{"Editor · doc11: needs you: unsaved changes"});
  for (int slot = 1; slot <= 4; ++slot) {
    rig.tickAt(desktop, kSlot + slot * kQuarter);
    rig.finishRun();
    EXPECT_EQ(windowsOf(engine.plan()), std::vector<uint32_t>{11}) << slot;
  }
  rig.tickAt(desktop, kSlot + 5 * kQuarter);  // the third failure in a row
  rig.finishRun();
  EXPECT_TRUE(engine.plan().empty());
  EXPECT_EQ(engine.needsYou(),
            (std::vector<std::string>{"Editor · doc11: failed: x",
                                      "Editor · doc11: left alone after 3 failed runs"}));
  EXPECT_EQ(rig.store.load<Memory>("history.json"), engine.memory());
  rig.tickAt(desktop, kSlot + 6 * kQuarter);  // nothing left to run
  EXPECT_EQ(next.load(), answers.size());
}

}  // namespace
}  // namespace kelvane
