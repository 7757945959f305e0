#include "core/disk/disk_run_control.h"

#include <future>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

// Records the worker's events; `held` is fulfilled when the worker starts holding.
struct Recorder {
  std::mutex mutex;
  std::vector<DiskProgress> events;
  std::promise<void> held;

  void install(DiskRunControl& control) {
    control.setReport([this](const DiskProgress& p) {
      std::lock_guard lock(mutex);
      events.push_back(p);
      if (p == DiskProgress::holdingNow(true)) held.set_value();
    });
  }
  std::vector<DiskProgress> seen() {
    std::lock_guard lock(mutex);
    return events;
  }
};

const std::vector<DiskProgress> kHeldOnce = {DiskProgress::holdingNow(true),
                                             DiskProgress::holdingNow(false)};

TEST(DiskRunControl, PauseHoldsTheWorkerUntilResume) {
  DiskRunControl control;
  Recorder recorder;
  recorder.install(control);
  control.pause();
  auto worker = std::async(std::launch::async, [&] { return control.proceed(); });
  recorder.held.get_future().wait();
  // Still held: the worker cannot return before resume() clears the pause.
  EXPECT_EQ(worker.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  control.resume();
  EXPECT_TRUE(worker.get());
  EXPECT_EQ(recorder.seen(), kHeldOnce);
}

TEST(DiskRunControl, StopReleasesAHeldWorkerAndEndsTheRun) {
  DiskRunControl control;
  Recorder recorder;
  recorder.install(control);
  control.pause();
  auto worker = std::async(std::launch::async, [&] { return control.proceed(); });
  recorder.held.get_future().wait();
  control.stop();
  EXPECT_FALSE(worker.get());
  EXPECT_EQ(recorder.seen(), kHeldOnce);
  // Once stopped, proceed answers at once, paused or not, and reports nothing more.
  EXPECT_FALSE(control.proceed());
  EXPECT_EQ(recorder.seen(), kHeldOnce);
}

TEST(DiskRunControl, ResetClearsPauseAndStopForTheNextRun) {
  DiskRunControl control;
  Recorder recorder;
  recorder.install(control);
  EXPECT_TRUE(control.proceed());
  control.pause();
  control.stop();
  EXPECT_FALSE(control.proceed());
  control.reset();
  EXPECT_TRUE(control.proceed());
  EXPECT_TRUE(recorder.seen().empty());
}

TEST(DiskRunControl, ReporterMayCallBackIntoTheControl) {
  // A reporter that resumes the run itself would deadlock if it ran under the lock.
  DiskRunControl control;
  std::vector<DiskProgress> events;
  control.setReport([&](const DiskProgress& p) {
    events.push_back(p);
    if (p.holding) control.resume();
  });
  control.pause();
  EXPECT_TRUE(control.proceed());
  EXPECT_EQ(events, kHeldOnce);
}

TEST(DiskRunControl, WorkerAndUserThreadsRunRowsTogether) {
  // A worker reporting rows while the user pauses, resumes and finally stops.
  DiskRunControl control;
  DiskRun run({"r0", "r1", "r2", "r3"});
  std::mutex runMutex;
  std::promise<void> held;
  bool firstHold = true;
  control.setReport([&](const DiskProgress& p) {
    std::lock_guard lock(runMutex);
    run.apply(p);
    if (p == DiskProgress::holdingNow(true) && firstHold) {
      firstHold = false;
      held.set_value();
    }
  });
  std::thread worker([&] {
    for (const std::string row : {"r0", "r1", "r2", "r3"}) {
      const bool go = control.proceed();
      control.report()(DiskProgress::started(row));
      control.report()(DiskProgress::finished(row, go, go ? 10 : 0, false, !go));
      if (row == "r1") control.pause();  // the user pauses while r1 ends
    }
  });
  held.get_future().wait();
  control.resume();
  control.pause();
  control.stop();
  worker.join();
  std::lock_guard lock(runMutex);
  EXPECT_EQ(run.status("r1"), DiskRun::Status::finished(true, 10, false, false));
  EXPECT_FALSE(run.holding);
  EXPECT_EQ(run.current, std::nullopt);
  EXPECT_GE(run.freed(), 20);
}

}  // namespace
}  // namespace kelvane
