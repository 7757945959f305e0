#pragma once
// ProcTable: what the process table says about running programs, as the disk
// scanner's host needs it: their names and the files they hold open.
#include <set>
#include <string>

#include "platform/linux/proc_reader.h"

namespace kelvane::ProcTable {

// Returns the name of every process: its short name ("comm") and the last component
// of its first argument, which is not cut to 15 bytes. Processes that vanish while
// they are read are left out; an unreadable table gives an empty set.
std::set<std::string> runningNames(const ProcReader& reader = ProcReader());

// Returns the absolute path of every file a process holds open, for the processes
// this user may inspect (others are skipped). Sockets, pipes and the like are not paths.
std::set<std::string> openFiles(const ProcReader& reader = ProcReader());

// Lets Shell find the descendants of the tools it runs (after a time-out) in this
// machine's process table. Programs call it once at start; calling again is harmless.
void serveShell();

}  // namespace kelvane::ProcTable
