#pragma once
// FakeSystem: a SystemActions for tests that records what it was asked.
#include <functional>
#include <map>
#include <mutex>
#include <vector>

#include "core/engine/system_actions.h"

namespace kelvane::testing {

// Answers every call with the outcome set for its kind (done by default),
// records the actions it was asked to carry out, and runs an optional hook
// first. Safe to call from the executor's threads.
class FakeSystem final : public SystemActions {
 public:
  std::map<ActionKind, Outcome> outcomes;
  std::function<Outcome(const Action&)> hook;  // When set, its answer counts.

  Outcome closeWindow(const Action& a) override { return answer(a); }
  Outcome quitApp(const Action& a) override { return answer(a); }
  Outcome stopProcess(const Action& a) override { return answer(a); }
  Outcome closeTab(const Action& a) override { return answer(a); }
  Outcome closeBrowserWindow(const Action& a) override { return answer(a); }
  Outcome cleanDisk(const Action& a) override { return answer(a); }

  std::vector<Action> asked() const {
    std::lock_guard lock(mutex_);
    return asked_;
  }

 private:
  Outcome answer(const Action& action) {
    {
      std::lock_guard lock(mutex_);
      asked_.push_back(action);
    }
    if (hook) return hook(action);
    const auto it = outcomes.find(action.kind);
    return it == outcomes.end() ? Outcome::done() : it->second;
  }
  mutable std::mutex mutex_;
  std::vector<Action> asked_;
};

}  // namespace kelvane::testing
