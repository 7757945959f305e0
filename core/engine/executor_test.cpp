#include "core/engine/executor.h"

#include <atomic>
#include <chrono>
#include <future>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "core/engine/testing/fake_system.h"

namespace kelvane {
namespace {

Action process(int32_t pid) {
  return {.rule = Rule::background,
          .kind = ActionKind::stopProcess,
          .pid = pid,
          .target = "p" + std::to_string(pid)};
}

// Implements only what every platform must: windows, applications, processes.
struct Minimal final : SystemActions {
  Outcome closeWindow(const Action&) override { return Outcome::done(); }
  Outcome quitApp(const Action&) override { return Outcome::done(); }
  Outcome stopProcess(const Action&) override { return Outcome::done(); }
};

TEST(Executor, EmptyRunAsksNothing) {
  testing::FakeSystem system;
  EXPECT_TRUE(Executor::run({}, system).empty());
  EXPECT_TRUE(system.asked().empty());
}

TEST(Executor, ResultsKeepActionOrderWhenLaterActionsFinishFirst) {
  // Each action waits until the one after it has answered, so they finish last to first.
  constexpr int kCount = 6;
  std::promise<void> answered[kCount];
  testing::FakeSystem system;
  system.hook = [&](const Action& a) {
    if (a.pid + 1 < kCount) answered[a.pid + 1].get_future().wait();
    answered[a.pid].set_value();
    return a.pid % 2
               ? Outcome::failed("busy " + std::to_string(a.pid))
               : Outcome{.result = "done", .undo = "undo", .note = "n" + std::to_string(a.pid)};
  };
  std::vector<Action> actions;
  for (int i = 0; i < kCount; ++i) actions.push_back(process(i));
  const auto results = Executor::run(actions, system);
  ASSERT_EQ(results.size(), actions.size());
  for (int i = 0; i < kCount; ++i) {
    EXPECT_EQ(results[i].action, actions[i]);
    if (i % 2) {
      EXPECT_EQ(results[i].result, "failed: busy " + std::to_string(i));
      EXPECT_EQ(results[i].undo, std::nullopt);
    } else {
      EXPECT_EQ(results[i], (ActionResult{actions[i], "done", "undo", "n" + std::to_string(i)}));
    }
  }
}

TEST(Executor, PlatformWithoutTabsBrowserWindowsOrDiskSaysSo) {
  Minimal system;
  const std::vector<Action> actions = {
      {.rule = Rule::tab, .kind = ActionKind::closeTab},
      {.rule = Rule::browserWindow, .kind = ActionKind::closeBrowserWindow},
      {.rule = Rule::disk, .kind = ActionKind::cleanDisk},
      {.rule = Rule::window, .kind = ActionKind::closeWindow},
  };
  const auto results = Executor::run(actions, system);
  ASSERT_EQ(results.size(), 4u);
  EXPECT_EQ(results[0].result, "skipped: tabs not supported");
  EXPECT_EQ(results[1].result, "skipped: browser windows not supported");
  EXPECT_EQ(results[2].result, "skipped: disk cleanup not supported");
  EXPECT_EQ(results[3].result, "done");
}

TEST(Executor, AnActionThatThrowsHasNoResultAndSparesTheOthers) {
  testing::FakeSystem system;
  system.hook = [](const Action& a) -> Outcome {
    if (a.pid == 2) throw std::runtime_error("platform bug");
    return Outcome::done();
  };
  const auto results = Executor::run({process(1), process(2), process(3)}, system);
  ASSERT_EQ(results.size(), 3u);
  EXPECT_EQ(results[0].result, "done");
  EXPECT_EQ(results[1], (ActionResult{process(2), "failed: no result"}));
  EXPECT_EQ(results[2].result, "done");
}

TEST(Executor, ActionsRunConcurrently) {
  // Every action waits for all the others to have started: only concurrent calls finish.
  constexpr int kCount = 8;
  std::atomic<int> started{0};
  testing::FakeSystem system;
  system.hook = [&](const Action&) {
    ++started;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (started.load() < kCount)
      if (std::chrono::steady_clock::now() > deadline) return Outcome::failed("ran alone");
    return Outcome::done();
  };
  std::vector<Action> actions;
  for (int i = 0; i < kCount; ++i) actions.push_back(process(i));
  for (const ActionResult& result : Executor::run(actions, system))
    EXPECT_EQ(result.result, "done");
}

}  // namespace
}  // namespace kelvane
