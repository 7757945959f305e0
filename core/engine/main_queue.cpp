#include "core/engine/main_queue.h"

#include <chrono>

namespace kelvane {

void ManualMainQueue::post(std::function<void()> work) {
  {
    std::lock_guard lock(mutex_);
    work_.push_back(std::move(work));
  }
  posted_.notify_all();
}

size_t ManualMainQueue::drain() {
  size_t ran = 0;
  for (;;) {
    std::function<void()> next;
    {
      std::lock_guard lock(mutex_);
      if (work_.empty()) return ran;
      next = std::move(work_.front());
      work_.pop_front();
    }
    // Run outside the lock: the work may post more.
    next();
    ++ran;
  }
}

size_t ManualMainQueue::waitAndDrain(int timeoutMs) {
  {
    std::unique_lock lock(mutex_);
    if (!posted_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [this] { return !work_.empty(); }))
      return 0;
  }
  return drain();
}

size_t ManualMainQueue::pending() const {
  std::lock_guard lock(mutex_);
  return work_.size();
}

}  // namespace kelvane
