#include "platform/linux/proc_table.h"

#include <dirent.h>
#include <fstream>
#include <unistd.h>
#include <vector>

namespace kelvane::ProcTable {
namespace {

constexpr size_t kMaxName = 4096;

bool isNumber(const char* name) {
  if (*name == '\0') return false;
  for (; *name; ++name)
    if (*name < '0' || *name > '9') return false;
  return true;
}

// The folder of every process under `procRoot`.
std::vector<std::string> processDirs(const std::string& procRoot) {
  std::vector<std::string> dirs;
  DIR* handle = ::opendir(procRoot.c_str());
  if (!handle) return dirs;
  while (const dirent* entry = ::readdir(handle))
    if (isNumber(entry->d_name)) dirs.push_back(procRoot + "/" + entry->d_name);
  ::closedir(handle);
  return dirs;
}

// The start of a small file, up to the first byte `stop`.
std::string readUpTo(const std::string& path, char stop) {
  std::ifstream file(path, std::ios::binary);
  std::string text;
  std::getline(file, text, stop);
  if (text.size() > kMaxName) text.resize(kMaxName);
  return text;
}

std::string baseName(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::set<std::string> runningNames(const std::string& procRoot) {
  std::set<std::string> names;
  for (const auto& dir : processDirs(procRoot)) {
    if (auto comm = readUpTo(dir + "/comm", '\n'); !comm.empty()) names.insert(std::move(comm));
    if (auto first = baseName(readUpTo(dir + "/cmdline", '\0')); !first.empty())
      names.insert(std::move(first));
  }
  return names;
}

std::set<std::string> openFiles(const std::string& procRoot) {
  std::set<std::string> files;
  for (const auto& dir : processDirs(procRoot)) {
    const std::string fdDir = dir + "/fd";
    DIR* handle = ::opendir(fdDir.c_str());
    if (!handle) continue;  // another user's process, or gone
    while (const dirent* entry = ::readdir(handle)) {
      if (!isNumber(entry->d_name)) continue;
      char target[kMaxName];
      const ssize_t n = ::readlink((fdDir + "/" + entry->d_name).c_str(), target, sizeof target);
      if (n > 0 && static_cast<size_t>(n) < sizeof target && target[0] == '/')
        files.emplace(target, static_cast<size_t>(n));
    }
    ::closedir(handle);
  }
  return files;
}

}  // namespace kelvane::ProcTable
