#pragma once
// ProcTable: what the process table under /proc says about running programs, as
// the disk scanner's host needs it: their names and the files they hold open.
#include <set>
#include <string>

namespace kelvane::ProcTable {

// Returns the name of every process: its short name ("comm") and the last component
// of its first argument, which is not cut to 15 bytes. Processes that vanish while
// they are read are left out; an unreadable root gives an empty set.
std::set<std::string> runningNames(const std::string& procRoot = "/proc");

// Returns the absolute path of every file a process holds open, for the processes
// this user may inspect (others are skipped). Sockets, pipes and the like are not paths.
std::set<std::string> openFiles(const std::string& procRoot = "/proc");

}  // namespace kelvane::ProcTable
