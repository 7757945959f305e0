#include "core/shell/process_tree.h"

#include <algorithm>
#include <charconv>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string_view>
#include <unistd.h>
#include <unordered_set>

#include "core/shell/shell.h"

namespace kelvane {

namespace {

// Parses a whole decimal PID; nullopt for anything else ("self", "1a", "").
std::optional<int32_t> parsePid(std::string_view text) {
  int32_t value = 0;
  const auto* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value <= 0) return std::nullopt;
  return value;
}

// The parent PID in the text of a stat file: "pid (comm) state ppid ...". The command name
// may hold spaces and parentheses, so the fields are counted after its last ')'.
std::optional<int32_t> parentInStat(std::string_view stat) {
  const size_t close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = stat.substr(close + 1);
  const auto skip = [&rest](bool spaces) {
    const size_t at = spaces ? rest.find_first_not_of(' ') : rest.find(' ');
    rest.remove_prefix(std::min(at, rest.size()));
  };
  skip(true);   // to the state
  skip(false);  // past it
  skip(true);   // to the parent
  int32_t parent = 0;
  const auto [ptr, ec] = std::from_chars(rest.data(), rest.data() + rest.size(), parent);
  if (ec != std::errc() || ptr == rest.data()) return std::nullopt;
  return parent;
}

std::optional<std::string> readSmallFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  char buffer[1024];  // a stat line's fields up to the parent come well within this
  const ssize_t n = ::read(fd, buffer, sizeof buffer);
  ::close(fd);
  if (n <= 0) return std::nullopt;
  return std::string(buffer, static_cast<size_t>(n));
}

}  // namespace

ProcessTree::ChildTable ProcessTree::read(const std::string& procRoot) {
  ChildTable table;
  DIR* dir = ::opendir(procRoot.c_str());
  if (dir == nullptr) return table;
  while (const dirent* entry = ::readdir(dir)) {
    const auto pid = parsePid(entry->d_name);
    if (!pid) continue;
    const auto stat = readSmallFile(procRoot + "/" + entry->d_name + "/stat");
    const auto parent = stat ? parentInStat(*stat) : std::nullopt;
    if (parent) table[*parent].push_back(*pid);
  }
  ::closedir(dir);
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

std::vector<int32_t> Shell::descendants(int32_t pid) {
  return ProcessTree::descendants(pid, ProcessTree::read());
}

}  // namespace kelvane
