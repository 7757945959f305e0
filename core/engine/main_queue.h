#pragma once
// MainQueue: how work gets back to the thread that owns the engine. Worker
// threads (a run's executor, the disk cleanup's reporter) never touch engine
// state; they post a function here and the main thread runs it.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace kelvane {

// Posting may happen from any thread; the posted work runs on the main thread,
// one piece at a time, in the order posted.
class MainQueue {
 public:
  virtual ~MainQueue() = default;
  // Queues `work` to run on the main thread. Never runs it inline.
  virtual void post(std::function<void()> work) = 0;
  // Tells whether the calling thread is the main thread.
  virtual bool onMainThread() const = 0;
};

// A queue for tests: posted work waits until the test drains it, on the thread
// that created the queue (the main thread).
class ManualMainQueue final : public MainQueue {
 public:
  ManualMainQueue() : main_(std::this_thread::get_id()) {}
  void post(std::function<void()> work) override;
  bool onMainThread() const override { return std::this_thread::get_id() == main_; }

  // Runs what was posted, including work posted while draining, until the
  // queue is empty; returns how many pieces ran.
  size_t drain();
  // Waits until something is posted, up to `timeoutMs`, then drains. Returns
  // how many pieces ran (0 when the wait timed out).
  size_t waitAndDrain(int timeoutMs = 10000);
  // The number of pieces waiting.
  size_t pending() const;

 private:
  std::thread::id main_;
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<std::function<void()>> work_;
};

}  // namespace kelvane
