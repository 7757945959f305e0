#include "core/shell/process_tree.h"

#include <algorithm>
#include <mutex>
#include <unordered_set>

#include "core/shell/shell.h"

namespace kelvane {

namespace {

// The process table Shell searches; set by the platform, empty until then.
std::mutex tableMutex;
Shell::ProcessParents processParents;

}  // namespace

ProcessTree::ChildTable ProcessTree::fromParents(
    const std::vector<std::pair<int32_t, int32_t>>& links) {
  ChildTable table;
  for (const auto& [pid, parent] : links)
    if (pid > 0) table[parent].push_back(pid);
  for (auto& [parent, children] : table) {
    std::sort(children.begin(), children.end());
    if (children.size() > kMaxChildren) children.resize(kMaxChildren);
  }
  return table;
}

std::vector<int32_t> ProcessTree::descendants(int32_t pid, const ChildTable& table) {
  std::vector<int32_t> result;
  std::unordered_set<int32_t> seen{pid};
  std::vector<int32_t> stack{pid};
  while (!stack.empty()) {
    const int32_t current = stack.back();
    stack.pop_back();
    const auto found = table.find(current);
    if (found == table.end()) continue;
    for (const int32_t child : found->second) {
      if (child <= 0 || !seen.insert(child).second) continue;
      result.push_back(child);
      stack.push_back(child);
    }
  }
  return result;
}

void ProcessTree::signalTree(int32_t pid, int signal,
                             const std::function<std::vector<int32_t>(int32_t)>& descendantsOf,
                             const std::function<void(int32_t, int)>& send) {
  if (pid < 2) return;
  const std::vector<int32_t> below = descendantsOf(pid);
  send(-pid, signal);
  send(pid, signal);
  for (const int32_t child : below) send(child, signal);
}

void Shell::useProcessTable(ProcessParents parents) {
  const std::lock_guard lock(tableMutex);
  processParents = std::move(parents);
}

std::vector<int32_t> Shell::descendants(int32_t pid) {
  ProcessParents parents;
  {
    const std::lock_guard lock(tableMutex);
    parents = processParents;
  }
  if (!parents) return {};
  return ProcessTree::descendants(pid, ProcessTree::fromParents(parents()));
}

}  // namespace kelvane
