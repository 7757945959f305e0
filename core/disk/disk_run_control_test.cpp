#include "core/disk/disk_run_control.h"

#include <future>
#include <vector>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

const std::vector<DiskProgress> kHeldOnce = {DiskProgress::holdingNow(true),
                                             DiskProgress::holdingNow(false)};

// Records the worker's events and fulfils `held` when the worker starts holding.
struct Recorder {
  std::mutex mutex;
  std::vector<DiskProgress> events;
  std::promise<void> held;

  explicit Recorder(DiskRunControl& control) {
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

TEST(DiskRunControl, PauseHoldsTheWorkerUntilResume) {
  DiskRunControl control;
  Recorder recorder(control);
  control.pause();
  auto worker = std::async(std::launch::async, [&] { return control.proceed(); });
  recorder.held.get_future().wait();
  EXPECT_EQ(worker.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
  control.resume();
  EXPECT_TRUE(worker.get());
  EXPECT_EQ(recorder.seen(), kHeldOnce);
}

TEST(DiskRunControl, StopReleasesAHeldWorkerUntilReset) {
  DiskRunControl control;
  Recorder recorder(control);
  control.pause();
  auto worker = std::async(std::launch::async, [&] { return control.proceed(); });
  recorder.held.get_future().wait();
  control.stop();
  EXPECT_FALSE(worker.get());
  // Once stopped, proceed answers at once, paused or not, and reports nothing more.
  EXPECT_FALSE(control.proceed());
  EXPECT_EQ(recorder.seen(), kHeldOnce);
  control.reset();
  EXPECT_TRUE(control.proceed());
  EXPECT_EQ(recorder.seen(), kHeldOnce);
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

}  // namespace
}  // namespace kelvane
