#include "platform/linux/proc_table.h"

#include "core/shell/shell.h"

namespace kelvane::ProcTable {
namespace {

std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::set<std::string> runningNames(const ProcReader& reader) {
  std::set<std::string> names;
  for (auto& entry : reader.processes(ProcReader::kCmdline)) {
    if (!entry.stat.comm.empty()) names.insert(std::move(entry.stat.comm));
    if (auto first = baseName(entry.firstArg.value_or("")); !first.empty())
      names.insert(std::move(first));
  }
  return names;
}

std::set<std::string> openFiles(const ProcReader& reader) {
  std::set<std::string> files;
  for (auto& entry : reader.processes(ProcReader::kFds))
    for (auto& target : entry.fds ? *entry.fds : std::vector<std::string>{})
      if (target.starts_with('/')) files.insert(std::move(target));
  return files;
}

void serveShell() {
  Shell::useProcessTable([] { return ProcReader().parents(); });
}

}  // namespace kelvane::ProcTable
