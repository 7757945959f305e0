#pragma once
// Shell: runs one command-line tool synchronously with a time-out, capturing its
// standard output and standard error, and never leaves its process tree running
// after a time-out. It does not search PATH; ToolLocator finds tools.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace kelvane {

// A tool's whole environment, variable name to value.
using ShellEnv = std::map<std::string, std::string>;

// What one run of a tool gave.
struct ShellResult {
  // The exit status, or the number of the signal that ended the tool; -1 after a
  // time-out or when the status could not be learned.
  int32_t status = 0;
  std::string out;  // standard output as UTF-8, at most its last 1,000,000 bytes
  std::string err;  // standard error, same rule
  bool timedOut = false;
  bool operator==(const ShellResult&) const = default;
};

namespace Shell {

// Runs `args[0]` (a path, used as given) with the arguments `args[1...]`, standard input
// from /dev/null, in a new process group led by the tool. `env` nullopt inherits the
// caller's environment, else it is the whole environment. After `timeout` seconds (NaN
// and negative read as 0) the tree gets SIGTERM, SIGKILL 2 s later if needed, and the
// result has timedOut set; a call returns within timeout + 6 s. Returns nullopt when
// `args` is empty or the tool cannot be launched, leaving no process or descriptor behind.
// Blocks the calling thread; calls on several threads are independent.
[[nodiscard]] std::optional<ShellResult> run(const std::vector<std::string>& args,
                                             const std::optional<ShellEnv>& env, double timeout);

// Lists every process below `pid` in the process table, `pid` excluded, each once, in the
// order a depth-first search discovers them. Empty when `pid` has no children or is gone,
// and while no process table is installed.
std::vector<int32_t> descendants(int32_t pid);

// Each running process with its parent, as (pid, parent) pairs.
using ProcessParents = std::function<std::vector<std::pair<int32_t, int32_t>>()>;

// Installs where `descendants` reads the process table from; the platform supplies it.
// Until then a time-out ends the tool, its process group and nothing else. Any thread.
void useProcessTable(ProcessParents parents);

}  // namespace Shell

}  // namespace kelvane
