// A seeded random walk through ticks, user operations and runs that finish
// late, fail or succeed, checking the engine's invariants after every step.
#include <atomic>
#include <condition_variable>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "core/engine/engine.h"
#include "core/engine/testing/engine_rig.h"

namespace kelvane {
namespace {

using namespace testing;

// Holds every run's execution until the simulation lets runs through, and
// counts how many executions overlap.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;
  int inside = 0;
  int mostInside = 0;

  void pass() {
    std::unique_lock lock(mutex);
    mostInside = std::max(mostInside, ++inside);
    changed.wait(lock, [&] { return open; });
    --inside;
  }
  int most() {
    std::lock_guard lock(mutex);
    return mostInside;
  }
  void setOpen(bool value) {
    {
      std::lock_guard lock(mutex);
      open = value;
    }
    changed.notify_all();
  }
};

// Answers from a hash of the action and the call, after a short random wait,
// so that a run's actions finish in any order and some fail.
std::function<Outcome(const Action&)> randomAnswers(uint64_t seed) {
  auto calls = std::make_shared<std::atomic<uint64_t>>(0);
  return [seed, calls](const Action& action) {
    const uint64_t h = std::hash<std::string>{}(action.id()) ^ (seed + 0x9e37 * ++*calls);
    std::this_thread::sleep_for(std::chrono::microseconds(h % 300));
    switch (h % 7) {
      case 0:
        return Outcome::failed("refused");
      case 1:
        return Outcome::needsYou("unsaved changes");
      case 2:
        return Outcome::stopped();
      default:
        return Outcome::done();
    }
  };
}

class Simulation {
 public:
  explicit Simulation(uint32_t seed) : rng_(seed), rig_(/*inMemory=*/true) {
    system_->hook = randomAnswers(seed);
    Config config = settledConfig();
    config.learningUntil = kStart + 3 * 3600;  // learns for three hours, then acts
    config.scheduleMinutes = pick({1, 5, 15});
    for (LimitField field : {LimitField::windowIdle, LimitField::tabIdle, LimitField::appUnused,
                             LimitField::backgroundIdle, LimitField::appNoWindows})
      config.limits.at(field) = 60 * static_cast<double>(1 + rng_() % 5);
    config.allowlist.apps = {"com.example.keeper"};
    rig_.settle(config);
    Execute execute = [gate = gate_, system = system_](const std::vector<Action>& actions) {
      gate->pass();
      return Executor::run(actions, *system);
    };
    engine_ = Engine::create(
        rig_.main, rig_.store, [clock = rig_.clock] { return *clock; }, nullptr, execute,
        rig_.calendar, rig_.control);
    rig_.engine = engine_;
    engine_->onFinish = [this] { ++finished_; };
    engine_->observe(EngineProperty::running, [this](EngineProperty, Change change) {
      if (change == Change::didChange && engine_->running()) ++started_;
    });
    engine_->updateDisk({.at = kStart,
                         .home = "/home/sim",
                         .rules = {{DiskRule::logs, {.items = {{.path = "/home/sim/Logs/a"}}}},
                                   {DiskRule::caches, {.commands = {{"/usr/bin/true"}}}}}});
  }

  // Lets a run still held at the gate end before the engine goes.
  ~Simulation() {
    gate_->setOpen(true);
    for (int i = 0; i < 50 && engine_->running(); ++i) rig_.main->waitAndDrain();
  }
  Simulation(const Simulation&) = delete;
  Simulation& operator=(const Simulation&) = delete;

  void step() {
    const int choice = static_cast<int>(rng_() % 100);
    if (choice < 55) {
      tick();
    } else if (choice < 65) {
      finishRuns();
    } else {
      userOperation(choice % 16);
    }
    check();
  }

  void finishRuns() {
    gate_->setOpen(true);
    for (int i = 0; i < 50 && engine_->running(); ++i) rig_.main->waitAndDrain();
    rig_.main->drain();
    gate_->setOpen(false);
    ASSERT_FALSE(engine_->running());
    ASSERT_EQ(started_, finished_);
  }

  int mostRunsAtOnce() const { return gate_->most(); }
  int runs() const { return finished_; }

 private:
  template <class T>
  T pick(std::initializer_list<T> values) {
    return *(values.begin() + rng_() % values.size());
  }

  // Changes the desktop a little, then ticks some time later.
  void tick() {
    mutateDesktop();
    const double gap = rng_() % 20 == 0 ? 1800 : 10 + static_cast<double>(rng_() % 110);
    const Date at = *rig_.clock + gap;
    const Date slot = engine_->nextRunAt();
    const bool due = at >= slot;
    const RunMode mode = Schedule::mode(slot, engine_->schedule(), engine_->config().learningUntil);
    const bool busy = engine_->running();
    const int before = started_;
    std::set<Uuid> known;
    for (const RunRecord& run : engine_->runs()) known.insert(run.id);

    rig_.tickAt(desktop_, at);
    lastTickAt_ = at;

    std::vector<RunMode> added;
    for (const RunRecord& run : engine_->runs())
      if (!known.contains(run.id)) added.push_back(run.mode);
    const int newRuns = started_ - before;
    ASSERT_LE(newRuns, 1);
    if (!due) {
      ASSERT_TRUE(added.empty());
      return;
    }
    // Every slot leaves one record or one acting run, except paused slots and
    // live slots that find a run still in flight, which leave nothing.
    switch (mode) {
      case RunMode::paused:
        ASSERT_TRUE(added.empty() && newRuns == 0);
        break;
      case RunMode::cancelled:
        ASSERT_EQ(added, std::vector<RunMode>{RunMode::cancelled});
        break;
      case RunMode::learning:
        ASSERT_EQ(added, std::vector<RunMode>{RunMode::learning});
        break;
      default:
        if (busy) {
          ASSERT_TRUE(added.empty() && newRuns == 0);
        } else if (added.empty()) {
          ASSERT_EQ(newRuns, 1);
        } else {
          ASSERT_EQ(added.size(), 1u);
          ASSERT_TRUE(added[0] == RunMode::held || (added[0] == RunMode::live && newRuns == 0));
        }
    }
  }

  void mutateDesktop() {
    Desktop d;
    d.app(100, "Editor", "com.example.editor");
    for (uint32_t id = 11; id <= 14; ++id)
      if (rng_() % 4) d.window(id, 100, "doc");
    d.app(150, "Viewer", "com.example.viewer").window(15, 150, "pdf");
    d.app(200, "Keeper", "com.example.keeper").window(21, 200, "a").window(22, 200, "b");
    d.app(300, "Chrome", "com.google.Chrome");
    for (int64_t w = 1; w <= 3; ++w)
      for (int64_t i = 0; i < 1 + static_cast<int64_t>(rng_() % 3); ++i)
        d.tab(w, i, "https://site" + std::to_string(w) + ".test/" + std::to_string(i));
    // Background workers, now and then restarted under a new process ID.
    for (int k = 0; k < 4; ++k) {
      if (rng_() % 10 == 0) workerPids_[k] = nextPid_++;
      d.proc(workerPids_[k], "worker", "/opt/w" + std::to_string(k)).cpu = cpu_[k];
      if (rng_() % 3 == 0) cpu_[k] += 5;
    }
    d.s.frontPID = pick<int32_t>({100, 150, 300, 0});
    d.s.focusedWindow = pick<uint32_t>({11, 15, 21, 0});
    desktop_ = d;
  }

  std::vector<Pick> randomPicks() {
    std::vector<Pick> picks;
    const Snapshot& s = desktop_.s;
    for (int n = 1 + static_cast<int>(rng_() % 3); n > 0; --n) {
      switch (rng_() % 5) {
        case 0:
          if (!s.windows.empty())
            picks.push_back(Pick::window(s.windows[rng_() % s.windows.size()].id));
          break;
        case 1:
          if (!s.tabs.empty()) picks.push_back(Pick::tab(s.tabs[rng_() % s.tabs.size()]));
          break;
        case 2:
          picks.push_back(Pick::process(workerPids_[rng_() % 4]));
          break;
        case 3:
          picks.push_back(Pick::app(pick<int32_t>({100, 150, 999})));
          break;
        default:
          picks.push_back(Pick::diskRule(pick({DiskRule::logs, DiskRule::caches})));
      }
    }
    return picks;
  }

  void userOperation(int which) {
    Engine& e = *engine_;
    const auto& plan = e.plan();
    const Action* planned = plan.empty() ? nullptr : &plan[rng_() % plan.size()];
    switch (which) {
      case 0:
        e.queue(randomPicks());
        break;
      case 1:
        e.unqueue(randomPicks());
        break;
      case 2:
        if (planned) e.skip(*planned);
        break;
      case 3:
        if (planned) e.unskip(*planned);
        break;
      case 4:
        e.pause(*rig_.clock + static_cast<double>(rng_() % 3600));
        break;
      case 5:
        e.resume();
        break;
      case 6:
        e.cancelNextRun();
        break;
      case 7:
        e.undoCancel();
        break;
      case 8:
        e.runNow();
        break;
      case 9:
        e.actNow(randomPicks(), rng_() % 2 == 0);
        break;
      case 10:
        e.confirmHeld();
        break;
      case 11:
        e.discardHeld();
        break;
      case 12:
        e.noteFocus(pick<int32_t>({100, 150, 300}), pick<uint32_t>({11, 12, 15}), true);
        break;
      case 13: {
        Config config = e.config();
        config.scheduleMinutes = pick({1, 5, 15});
        e.update(config);
        break;
      }
      case 14:
        e.pauseDisk();
        break;
      default:
        e.stopDisk();
        break;
    }
  }

  void check() {
    const Engine& e = *engine_;
    ASSERT_EQ(e.running(), started_ > finished_);
    ASSERT_LE(started_ - finished_, 1);
    ASSERT_LE(gate_->most(), 1);
    if (lastTickAt_) {
      ASSERT_GT(e.nextRunAt(), *lastTickAt_);
    }
    for (const RunRecord& run : e.runs()) {
      ASSERT_GE(run.at, *rig_.clock - kDay);
    }
    // Memory keeps failing targets out of the plan; only the user's own
    // queued picks are carried out once more.
    for (const Action& action : e.plan()) {
      ASSERT_TRUE(!e.memory().blocks(action) || e.queuedIDs().contains(action.id())) << action.id();
    }
  }

  std::mt19937 rng_;
  Rig rig_;
  std::shared_ptr<Gate> gate_ = std::make_shared<Gate>();
  std::shared_ptr<FakeSystem> system_ = std::make_shared<FakeSystem>();
  std::shared_ptr<Engine> engine_;
  Desktop desktop_;
  std::optional<Date> lastTickAt_;
  int32_t workerPids_[4] = {400, 401, 402, 403};
  int32_t nextPid_ = 500;
  double cpu_[4] = {};
  int started_ = 0;
  int finished_ = 0;
};

TEST(EngineSimulation, InvariantsHoldThroughRandomTicksOperationsAndRuns) {
  for (const uint32_t seed : {7u, 1234u, 98765u}) {
    SCOPED_TRACE(seed);
    Simulation simulation(seed);
    for (int i = 0; i < 2500; ++i) {
      simulation.step();
      if (::testing::Test::HasFatalFailure()) return;
    }
    simulation.finishRuns();
    EXPECT_GT(simulation.runs(), 20);
    EXPECT_EQ(simulation.mostRunsAtOnce(), 1);
  }
}

}  // namespace
}  // namespace kelvane
