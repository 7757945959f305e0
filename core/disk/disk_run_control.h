#pragma once
// DiskRunControl: the handle through which the user pauses, resumes and stops a
// running cleanup, and through which the cleanup worker reports its progress.
#include <condition_variable>
#include <functional>
#include <mutex>

#include "core/disk/disk_run.h"

namespace kelvane {

// Shared between the user interface's thread (pause, resume, stop, reset) and one
// cleanup worker (proceed, and the reporter). The flags live under one lock and
// every change wakes all waiters; the reporter is always called outside the lock,
// so it may call back into the control.
class DiskRunControl final {
 public:
  using Reporter = std::function<void(const DiskProgress&)>;

  DiskRunControl() = default;
  DiskRunControl(const DiskRunControl&) = delete;
  DiskRunControl& operator=(const DiskRunControl&) = delete;

  // Returns the reporter the worker's events go to (one that does nothing at first).
  Reporter report() const;
  // Installs where the worker's events go; an empty function drops them.
  void setReport(Reporter reporter);

  // Clears both the pause and the stop; done before the control serves a new run.
  void reset();
  // Makes the worker hold before its next row until resume() or stop().
  void pause();
  // Releases a worker held by pause().
  void resume();
  // Makes proceed() return false from now on, releasing a held worker.
  void stop();

  // Called by the worker before each row. While paused (and not stopped) it reports
  // holding(true), waits, then reports holding(false). Returns false once stopped.
  [[nodiscard]] bool proceed();

 private:
  mutable std::mutex mutex_;
  std::condition_variable cond_;
  bool paused_ = false;
  bool stopped_ = false;
  Reporter reporter_;
};

}  // namespace kelvane
