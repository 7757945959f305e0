#include "core/disk/disk_run_control.h"

namespace kelvane {

DiskRunControl::Reporter DiskRunControl::report() const {
  std::lock_guard lock(mutex_);
  if (reporter_) return reporter_;
  return [](const DiskProgress&) {};
}

void DiskRunControl::setReport(Reporter reporter) {
  std::lock_guard lock(mutex_);
  reporter_ = std::move(reporter);
}

void DiskRunControl::reset() {
  {
    std::lock_guard lock(mutex_);
    paused_ = false;
    stopped_ = false;
  }
  cond_.notify_all();
}

void DiskRunControl::pause() {
  {
    std::lock_guard lock(mutex_);
    paused_ = true;
  }
  cond_.notify_all();
}

void DiskRunControl::resume() {
  {
    std::lock_guard lock(mutex_);
    paused_ = false;
  }
  cond_.notify_all();
}

void DiskRunControl::stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  cond_.notify_all();
}

bool DiskRunControl::proceed() {
  std::unique_lock lock(mutex_);
  if (!paused_ || stopped_) return !stopped_;
  Reporter reporter = reporter_;
  lock.unlock();
  if (reporter) reporter(DiskProgress::holdingNow(true));

  lock.lock();
  cond_.wait(lock, [this] { return !paused_ || stopped_; });
  const bool stopped = stopped_;
  // The reporter may have been replaced while the worker held.
  reporter = reporter_;
  lock.unlock();
  if (reporter) reporter(DiskProgress::holdingNow(false));
  return !stopped;
}

}  // namespace kelvane
