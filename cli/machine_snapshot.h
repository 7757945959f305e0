#pragma once
// One snapshot of this machine's processes for the views that show them the way
// the sweep sees them (owners of listening ports, usage): each process with its
// program, working folder, memory, CPU time and TCP sockets, and the memory total.
#include <optional>

#include "core/model/snapshot.h"
#include "platform/linux/proc_reader.h"

namespace kelvane::cli {

// Returns the processes `reader` can see (another user's are there with what
// /proc shows of them: no program, folder or sockets). Applications, windows and
// tabs are left empty: this is the process table alone.
Snapshot machineSnapshot(const ProcReader& reader = ProcReader());

}  // namespace kelvane::cli
