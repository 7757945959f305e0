#include "core/engine/executor.h"

#include <optional>
#include <system_error>
#include <thread>

namespace kelvane::Executor {
namespace {

Outcome carryOut(SystemActions& system, const Action& action) {
  switch (action.kind) {
    case ActionKind::closeWindow:
      return system.closeWindow(action);
    case ActionKind::quitApp:
      return system.quitApp(action);
    case ActionKind::stopProcess:
      return system.stopProcess(action);
    case ActionKind::closeTab:
      return system.closeTab(action);
    case ActionKind::closeBrowserWindow:
      return system.closeBrowserWindow(action);
    case ActionKind::cleanDisk:
      return system.cleanDisk(action);
  }
  return Outcome::failed("no result");
}

}  // namespace

std::vector<ActionResult> run(const std::vector<Action>& actions, SystemActions& system) {
  // Each thread writes only its own slot, and every slot is read after every join.
  std::vector<std::optional<Outcome>> outcomes(actions.size());
  std::vector<std::thread> threads;
  threads.reserve(actions.size());
  for (size_t i = 0; i < actions.size(); ++i) {
    try {
      threads.emplace_back([&system, &actions, &outcomes, i] {
        try {
          outcomes[i] = carryOut(system, actions[i]);
        } catch (...) {
          // A system action must not throw; one that does has no outcome.
        }
      });
    } catch (const std::system_error&) {
      // No thread for this action: it stays without an outcome.
    }
  }
  for (std::thread& thread : threads) thread.join();

  std::vector<ActionResult> results;
  results.reserve(actions.size());
  for (size_t i = 0; i < actions.size(); ++i) {
    Outcome outcome = outcomes[i].value_or(Outcome::failed("no result"));
    results.push_back({.action = actions[i],
                       .result = std::move(outcome.result),
                       .undo = std::move(outcome.undo),
                       .note = std::move(outcome.note)});
  }
  return results;
}

Execute over(std::shared_ptr<SystemActions> system) {
  return [system = std::move(system)](const std::vector<Action>& actions) {
    return run(actions, *system);
  };
}

}  // namespace kelvane::Executor
