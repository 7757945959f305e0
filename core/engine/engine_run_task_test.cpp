// Runs across threads: a program's event loop as the main queue, workers that
// report disk progress while the run's other actions go on, and an engine
// released while its run is still out.
#include <atomic>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "core/engine/asio_main_queue.h"
#include "core/engine/engine.h"
#include "core/engine/testing/engine_rig.h"

namespace kelvane {
namespace {

using namespace testing;

// Closes windows after a short wait and cleans disk rules row by row through the control.
struct Threaded final : SystemActions {
  std::shared_ptr<DiskRunControl> control;
  explicit Threaded(std::shared_ptr<DiskRunControl> c) : control(std::move(c)) {}

  Outcome closeWindow(const Action& action) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(action.windowID.value_or(0) % 3));
    return Outcome::done();
  }
  Outcome quitApp(const Action&) override { return Outcome::done(); }
  Outcome stopProcess(const Action&) override { return Outcome::done(); }
  Outcome cleanDisk(const Action& action) override {
    const std::string row(DiskRules::rawValue(*action.disk->rule));
    control->report()(DiskProgress::started(row));
    if (!control->proceed()) return Outcome::stopped();
    control->report()(DiskProgress::finished(row, true, 64, false, false));
    return Outcome::done();
  }
};

Desktop editorWindows() {
  Desktop d;
  d.app(100, "Editor", "com.example.editor");
  for (uint32_t id = 11; id <= 14; ++id) d.window(id, 100, "doc");
  return d;
}

DiskScan twoRules() {
  return {.at = kStart,
          .home = "/home/u",
          .rules = {{DiskRule::logs, {.items = {{.path = "/home/u/Logs/a", .bytes = 64}}}},
                    {DiskRule::caches, {.items = {{.path = "/home/u/Caches/b", .bytes = 64}}}}}};
}

TEST(EngineRunTask, ARunOnAProgramsEventLoopFinishesWithItsWorkersProgress) {
  asio::io_context io;
  auto guard = asio::make_work_guard(io);
  auto main = std::make_shared<AsioMainQueue>(io);
  TempDir dir;
  Store store(dir.path());
  (void)store.save(settledConfig(), "config.json");
  (void)store.save(ScheduleState{.lastWeeklyRun = kStart}, "schedule.json");
  auto control = std::make_shared<DiskRunControl>();
  auto engine = Engine::create(
      main, store, [] { return kStart; }, nullptr,
      Executor::over(std::make_shared<Threaded>(control)), Calendar::utc(), control);
  engine->updateDisk(twoRules());
  engine->tick(editorWindows().at(kStart));
  std::vector<DiskRun> progress;
  engine->observe(EngineProperty::diskRun, [&](EngineProperty, Change change) {
    if (change == Change::didChange && engine->diskRun()) progress.push_back(*engine->diskRun());
  });
  std::vector<ActionResult> got;
  engine->actNow({Pick::window(11), Pick::diskRule(DiskRule::logs), Pick::window(12),
                  Pick::diskRule(DiskRule::caches), Pick::window(13)},
                 false, [&](const std::vector<ActionResult>& results, const auto&) {
                   got = results;
                   io.stop();
                 });
  EXPECT_TRUE(engine->running());
  io.run();

  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0].action.windowID, 11u);
  EXPECT_EQ(got[1].action.disk->rule, DiskRule::logs);
  EXPECT_EQ(got[4].action.windowID, 13u);
  for (const ActionResult& result : got) EXPECT_EQ(result.result, "done");
  EXPECT_FALSE(engine->running());
  ASSERT_FALSE(progress.empty());
  const DiskRun& last = progress.back();
  EXPECT_EQ(last.status("logs"), DiskRun::Status::finished(true, 64, false, false));
  EXPECT_EQ(last.status("caches"), DiskRun::Status::finished(true, 64, false, false));
  EXPECT_EQ(engine->runs().front().actions.size(), 5u);
  EXPECT_EQ(engine->memory().cleaned.size(), 2u);
}

TEST(EngineRunTask, AReleasedEngineStillHandsTheResultsOverAndRecordsNothing) {
  Rig rig;
  rig.settle();
  rig.start();
  rig.tickAt(editorWindows(), kStart);
  std::vector<ActionResult> got;
  rig.engine->actNow({Pick::window(11), Pick::window(12)}, false,
                     [&](const std::vector<ActionResult>& results, const auto&) { got = results; });
  std::weak_ptr<Engine> weak = rig.engine;
  rig.engine.reset();
  EXPECT_TRUE(weak.expired());
  rig.control->report()(DiskProgress::started("logs"));  // a late report finds no engine
  while (got.empty() && rig.main->waitAndDrain() > 0) {
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[1].result, "done");
  EXPECT_TRUE(rig.store.runs(kStart - kDay).empty());
}

TEST(EngineRunTask, ActingWhileARunIsOutStartsWhenItEnds) {
  Rig rig;
  rig.settle();
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::atomic<int> inside{0};
  std::atomic<int> most{0};
  rig.system->hook = [&](const Action&) {
    most = std::max(most.load(), ++inside);
    released.wait();
    --inside;
    return Outcome::done();
  };
  Engine& engine = rig.start();
  rig.tickAt(editorWindows(), kStart);
  std::vector<int> order;
  engine.actNow({Pick::window(11)}, false, [&](const auto&, const auto&) { order.push_back(1); });
  engine.actNow({Pick::window(12)}, false, [&](const auto&, const auto&) { order.push_back(2); });
  EXPECT_TRUE(engine.running());
  release.set_value();
  rig.finishRun();
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(most.load(), 1);
  EXPECT_EQ(engine.runs().size(), 2u);
  EXPECT_EQ(engine.lastResults().size(), 2u);  // manual runs add up
}

}  // namespace
}  // namespace kelvane
