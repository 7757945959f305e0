#include "core/proc/proc_origin.h"

#include <unordered_set>
#include <vector>

namespace kelvane {
namespace {

constexpr std::string_view kApp = ".app";
constexpr std::string_view kRuntime = ".simruntime";

// The first component of `path`, from the root down, that ends with `ending`
// and has a name before it; the name without the ending.
std::optional<std::string> componentEndingWith(std::string_view path, std::string_view ending) {
  while (!path.empty()) {
    const size_t slash = path.find('/');
    const std::string_view part = path.substr(0, slash);
    if (part.size() > ending.size() && part.ends_with(ending))
      return std::string(part.substr(0, part.size() - ending.size()));
    if (slash == std::string_view::npos) break;
    path.remove_prefix(slash + 1);
  }
  return std::nullopt;
}

const RunningApp* appWithPid(const Snapshot& snapshot, int32_t pid) {
  for (const auto& app : snapshot.apps)
    if (app.pid == pid) return &app;
  return nullptr;
}

const Proc* procWithPid(const Snapshot& snapshot, int32_t pid) {
  for (const auto& proc : snapshot.procs)
    if (proc.pid == pid) return &proc;
  return nullptr;
}

// `folder` as shown to the user: the home folder and what lies below it as "~".
std::string shownFolder(const std::string& folder, std::string_view home) {
  while (home.size() > 1 && home.ends_with('/')) home.remove_suffix(1);
  // Without a home folder (or with "/" as home) nothing is abbreviated.
  if (home.empty() || home == "/") return folder;
  if (folder == home) return "~";
  if (folder.size() > home.size() && folder.starts_with(home) && folder[home.size()] == '/')
    return "~" + folder.substr(home.size());
  return folder;
}

std::optional<std::string> starter(const Proc& proc, const Snapshot& snapshot) {
  std::vector<int32_t> candidates;
  if (proc.responsible && *proc.responsible != 1 && *proc.responsible != proc.pid)
    candidates.push_back(*proc.responsible);
  if (proc.ppid > 1) candidates.push_back(proc.ppid);
  for (const int32_t pid : candidates)
    if (auto name = ProcOrigin::name(pid, snapshot)) return "started by " + *name;
  return std::nullopt;
}

}  // namespace

ProcOrigin ProcOrigin::of(const Proc& proc, const Snapshot& snapshot, std::string_view home) {
  ProcOrigin origin;
  if (proc.path.find(simulatorMark) != std::string::npos) {
    const auto runtime = componentEndingWith(proc.path, kRuntime);
    origin.by = runtime ? *runtime + " Simulator" : "Simulator";
    return origin;
  }
  if (proc.cwd) {
    origin.folderPath = *proc.cwd;
    origin.folder = shownFolder(*proc.cwd, home);
  }
  origin.by = starter(proc, snapshot);
  return origin;
}

std::optional<std::string> ProcOrigin::name(int32_t pid, const Snapshot& snapshot) {
  if (const RunningApp* app = appWithPid(snapshot, pid)) return app->name;
  const Proc* proc = procWithPid(snapshot, pid);
  if (!proc) return std::nullopt;
  return componentEndingWith(proc->path, kApp).value_or(proc->name);
}

std::optional<int32_t> ProcOrigin::hostApp(const Proc& proc, const Snapshot& snapshot) {
  if (appWithPid(snapshot, proc.pid)) return proc.pid;
  if (proc.responsible && appWithPid(snapshot, *proc.responsible)) return *proc.responsible;
  std::unordered_set<int32_t> visited{proc.pid};
  int32_t pid = proc.ppid;
  while (pid > 1 && visited.insert(pid).second) {
    if (appWithPid(snapshot, pid)) return pid;
    const Proc* parent = procWithPid(snapshot, pid);
    if (!parent) break;
    pid = parent->ppid;
  }
  return std::nullopt;
}

}  // namespace kelvane
