#pragma once
// BrowserProcs: the user's Chromium-family processes as the process table under
// /proc shows them, with what the browser source reads of a process. The
// command-line tool uses it where no snapshot is at hand.
#include <cstdint>
#include <string>
#include <vector>

#include "core/model/proc.h"

namespace kelvane::BrowserProcs {

// Returns the arguments process `pid` was started with; empty when it is gone
// or they cannot be read.
std::vector<std::string> args(int32_t pid, const std::string& procRoot = "/proc");

// Returns `me`'s processes that run a Chromium-family executable and are the
// browser itself rather than one of its helpers, with pid,
// ppid, uid, name, path, cwd, bundleID and the TCP ports each listens on
// (ascending; exposedPorts: those bound beyond loopback). Processes that vanish while
// they are read are left out; an unreadable table gives none.
std::vector<Proc> running(uint32_t me, const std::string& procRoot = "/proc");

}  // namespace kelvane::BrowserProcs
