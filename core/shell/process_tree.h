#pragma once
// ProcessTree: the parent/child relation of the running processes, built from the
// process table the platform supplies (Shell::useProcessTable), and the signalling
// of a whole tree. Internal to kelvane_shell.
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kelvane::ProcessTree {

// Each parent PID with its children in ascending PID order.
using ChildTable = std::unordered_map<int32_t, std::vector<int32_t>>;

// The most children a parent contributes to one search.
inline constexpr size_t kMaxChildren = 1024;

// Builds the table from (pid, parent) pairs; PIDs below 1 are not processes and are
// skipped. Keeps the kMaxChildren lowest PIDs per parent.
ChildTable fromParents(const std::vector<std::pair<int32_t, int32_t>>& links);

// Lists every process below `pid` in `table`, `pid` excluded, each once: a depth-first
// search whose result keeps discovery order. A PID without children gives an empty list.
std::vector<int32_t> descendants(int32_t pid, const ChildTable& table);

// Sends `signal` through `send` to the process group -pid, then to `pid`, then to each
// PID `descendantsOf(pid)` lists (asked before the first send). Does nothing when `pid`
// is below 2, so the kernel's and init's processes are never signalled.
void signalTree(int32_t pid, int signal,
                const std::function<std::vector<int32_t>(int32_t)>& descendantsOf,
                const std::function<void(int32_t target, int signal)>& send);

}  // namespace kelvane::ProcessTree
