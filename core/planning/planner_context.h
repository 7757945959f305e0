#pragma once
// The working sets of one Planner::plan call, shared by its rules. Private to
// the planner.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "core/actions/action.h"
#include "core/config/config.h"
#include "core/model/activity.h"
#include "core/model/snapshot.h"
#include "core/planning/guards.h"

namespace kelvane::Planner::detail {

// Parent chains are followed at most this far, so cycles end.
inline constexpr int kMaxAncestors = 64;

// The time remembered under `key`, if any.
template <class Clocks, class K>
std::optional<Date> clockOf(const Clocks& clocks, const K& key) {
  const auto it = clocks.find(key);
  if (it == clocks.end()) return std::nullopt;
  return it->second;
}

class Context {
 public:
  Context(const Snapshot& snapshot, const Activity& activity, const Config& config);

  const Snapshot& s;
  const Activity& activity;
  const Config& config;
  const Limits& limits;
  std::vector<const Proc*> procs;  // First record of each process ID, in snapshot order.
  std::vector<int> parent;         // Index in `procs` of each one's parent, or -1.
  std::map<int32_t, const RunningApp*> regular;  // Regular applications, by process ID.
  // Per entry of `procs`, so that the rules' scans stay in a few small arrays:
  std::vector<char> regularAt;  // the process of a regular application;
  std::vector<char> ttyAt;      // it has a terminal;
  std::vector<char> listensAt;  // it listens on a port.
  std::unordered_map<int32_t, const RunningApp*> accessory;
  std::unordered_map<std::string, const RunningApp*> browsers;  // Running ones, by bundle ID.
  std::vector<char> takenAt;  // Per entry of `procs`: planned to be quit or stopped.
  std::unordered_set<std::string> closedWindows;  // Browser window keys planned to close.
  std::vector<Action> actions;

  // The position of process `pid` in `procs`, or procs.size() when it is not there.
  size_t indexOf(int32_t pid) const;
  // The first record of process `pid`, or nullptr.
  const Proc* proc(int32_t pid) const;
  // The guard's answer for a process of the snapshot, remembered per process
  // and kind of deed.
  const std::optional<std::string>& blocked(const Proc& proc, bool window);
  // Tells whether process `pid` is planned to be quit or stopped.
  bool taken(int32_t pid) const {
    const size_t at = indexOf(pid);
    return at < procs.size() && takenAt[at];
  }
  // Returns the CPU seconds procs[index] used in the last `window` seconds, or
  // nothing without enough samples (see Activity::cpuUsed).
  std::optional<double> cpuUsed(size_t index, double window) const;
  // Seconds from `then` to the snapshot's moment.
  double since(Date then) const { return s.at - then; }
  // Returns the action for `proc` with its memory, path and start time.
  Action processAction(Rule rule, ActionKind kind, const Proc& proc, std::string target,
                       std::string reason) const;

  // Calls `visit` with the position in `procs` of each ancestor of
  // procs[index], nearest first, until it returns true (then returns true),
  // the chain leaves the snapshot or kMaxAncestors steps were taken.
  template <class Visit>
  bool anyAncestor(size_t index, Visit visit) const {
    int at = parent[index];
    for (int step = 0; step < kMaxAncestors && at >= 0; ++step) {
      if (visit(static_cast<size_t>(at))) return true;
      at = parent[static_cast<size_t>(at)];
    }
    return false;
  }

 private:
  struct Verdict {
    bool known = false;
    std::optional<std::string> reason;
  };

  Guards::Checker guard_;
  std::unordered_map<int32_t, size_t> index_;            // Process ID to position in `procs`.
  std::vector<Verdict> blockedProcess_, blockedWindow_;  // By position in the snapshot.
  std::vector<const CPUHistory*> history_;               // By position in `procs`.
};

// The rules that work on processes: terminal sessions, development servers,
// background processes and CPU hogs, in that order.
void planSessions(Context& c);
void planDevServers(Context& c);
void planBackground(Context& c);
void planCpuHogs(Context& c);

}  // namespace kelvane::Planner::detail
