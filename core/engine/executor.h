#pragma once
// Executor: carries out the actions of one run through a SystemActions object,
// all at once, and answers one result per action in the order given.
#include <functional>
#include <memory>
#include <vector>

#include "core/engine/system_actions.h"
#include "core/store/records.h"

namespace kelvane {

// Carries out a run's actions and returns their results in action order. It is
// called on a run's worker thread and blocks until every action has answered.
using Execute = std::function<std::vector<ActionResult>(const std::vector<Action>&)>;

namespace Executor {

// Runs every action on a thread of its own, concurrently, and waits for all.
// An action whose thread could not be started, or whose call threw, gets
// "failed: no result". An empty list gives an empty list.
std::vector<ActionResult> run(const std::vector<Action>& actions, SystemActions& system);

// The engine's execute function over `system`, which it keeps alive.
Execute over(std::shared_ptr<SystemActions> system);

}  // namespace Executor
}  // namespace kelvane
