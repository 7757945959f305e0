#pragma once
// ProcGroups: folds the helper processes that live inside an application's
// bundle into that application, so that views can speak of one application
// instead of its dozen processes.
#include <cstdint>
#include <vector>

#include "core/model/proc.h"
#include "core/model/running_app.h"

namespace kelvane {

// One application's process and the helpers inside its bundle.
struct ProcGroup {
  Proc main;                  // The application's own process.
  std::vector<Proc> helpers;  // Processes inside its bundle, in the order given.
  bool operator==(const ProcGroup&) const = default;

  // Returns the main process ID followed by the helpers' IDs.
  std::vector<int32_t> pids() const;
  // Returns the members' resident memory in bytes; saturates at the largest
  // value instead of wrapping around.
  uint64_t rss() const;
};

namespace ProcGroups {

// Returns one group per process of `procs` that is an application's process,
// in the order of `procs`. A process inside one or more bundles belongs to the
// application with the longest bundle path (the first of equally long ones);
// applications' own processes are never helpers. Processes owned by no present
// application, and applications absent from `procs`, make no group.
std::vector<ProcGroup> fold(const std::vector<Proc>& procs, const std::vector<RunningApp>& apps);

}  // namespace ProcGroups

}  // namespace kelvane
