#pragma once
// RunTask: one run in flight. Its worker thread executes the actions and posts
// the results to the main queue; the main thread finishes the run, joins the
// worker and calls whoever waited for the end. Internal to the engine.
#include <functional>
#include <thread>
#include <vector>

namespace kelvane {

struct RunTask {
  std::thread thread;
  // Called on the main thread once the run has finished (the engine may be gone).
  std::vector<std::function<void()>> whenDone;

  RunTask() = default;
  RunTask(const RunTask&) = delete;
  RunTask& operator=(const RunTask&) = delete;
  // Joins the worker; when the last owner lets go on the worker itself (its
  // main queue was dropped with the results in it), the thread is detached.
  ~RunTask() {
    if (!thread.joinable()) return;
    if (thread.get_id() == std::this_thread::get_id()) {
      thread.detach();
    } else {
      thread.join();
    }
  }
};

}  // namespace kelvane
