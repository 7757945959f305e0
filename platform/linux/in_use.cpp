#include "platform/linux/in_use.h"

#include <limits.h>
#include <stdlib.h>
#include <unordered_map>

namespace kelvane {
namespace {

std::string holderText(std::string_view what, const ProcEntry& process) {
  return std::string(what) + " " + process.stat.comm + " (pid " + std::to_string(process.stat.pid) +
         ")";
}

// `path` with its folder's links resolved; nullopt when the folder cannot be resolved.
std::optional<std::string> resolvedFolder(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos || slash + 1 == path.size()) return std::nullopt;
  const std::string folder(path.substr(0, std::max<size_t>(slash, 1)));
  char real[PATH_MAX];
  if (!::realpath(folder.c_str(), real)) return std::nullopt;
  std::string resolved(real);
  if (resolved != "/") resolved += "/";
  return resolved + std::string(path.substr(slash + 1));
}

}  // namespace

InUse InUse::read(const ProcReader& reader, std::optional<int32_t> ignored) {
  return from(reader.processes(ProcReader::kFds | ProcReader::kCwd), reader.unixSockets(), ignored);
}

InUse InUse::from(const std::vector<ProcEntry>& processes,
                  const std::vector<ProcText::UnixSocket>& sockets,
                  std::optional<int32_t> ignored) {
  InUse look;
  std::unordered_map<uint64_t, const ProcEntry*> socketOwner;
  for (const ProcEntry& process : processes) {
    if (!process.fds) continue;
    for (const std::string& target : *process.fds) {
      const auto inode = ProcText::socketInode(target);
      if (!inode) continue;
      // The lowest PID names the holder; the program that asks owns its sockets outright.
      const auto [at, added] = socketOwner.try_emplace(*inode, &process);
      if (!added && at->second->stat.pid != ignored &&
          (process.stat.pid == ignored || process.stat.pid < at->second->stat.pid))
        at->second = &process;
    }
  }
  for (const ProcEntry& process : processes) {
    if (process.stat.pid == ignored) continue;
    if (process.cwd && process.cwd->starts_with('/') && *process.cwd != "/")
      look.hold(*process.cwd, process.stat.pid, holderText("working folder of", process));
    if (!process.fds) continue;
    for (const std::string& target : *process.fds)
      if (target.starts_with('/'))
        look.hold(target, process.stat.pid, holderText("open in", process));
  }
  for (const auto& socket : sockets) {
    if (!socket.path.starts_with('/')) continue;  // abstract or unnamed
    const auto owner = socketOwner.find(socket.inode);
    if (owner == socketOwner.end()) {
      look.hold(socket.path, INT32_MAX, "socket in use");
    } else if (owner->second->stat.pid != ignored) {
      look.hold(socket.path, owner->second->stat.pid, holderText("socket of", *owner->second));
    }
  }
  return look;
}

void InUse::hold(std::string path, int32_t pid, std::string reason) {
  while (path.size() > 1 && path.ends_with('/')) path.pop_back();
  const auto [at, added] = held_.try_emplace(std::move(path), Holder{pid, reason});
  if (!added && pid < at->second.pid) at->second = Holder{pid, std::move(reason)};
}

std::optional<std::string> InUse::heldAt(const std::string& path) const {
  if (const auto exact = held_.find(path); exact != held_.end()) return exact->second.reason;
  const std::string folder = path == "/" ? path : path + "/";
  const Holder* first = nullptr;
  for (auto it = held_.lower_bound(folder); it != held_.end() && it->first.starts_with(folder);
       ++it)
    if (!first || it->second.pid < first->pid) first = &it->second;
  if (!first) return std::nullopt;
  return first->reason;
}

std::optional<std::string> InUse::reason(std::string_view path) const {
  std::string asked(path);
  while (asked.size() > 1 && asked.ends_with('/')) asked.pop_back();
  if (!asked.starts_with('/')) return std::nullopt;
  if (auto found = heldAt(asked)) return found;
  const auto resolved = resolvedFolder(asked);
  if (!resolved || *resolved == asked) return std::nullopt;
  return heldAt(*resolved);
}

}  // namespace kelvane
