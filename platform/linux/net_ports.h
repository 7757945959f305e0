#pragma once
// LinuxPorts: what the ports view needs beside the snapshot, from this machine:
// listeners of processes the snapshot cannot see into, the project each listening
// process serves, and the host ports Docker's containers publish.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "core/model/snapshot.h"
#include "core/net/net_stat.h"
#include "core/shell/shell.h"
#include "platform/linux/sock_diag.h"

namespace kelvane::LinuxPorts {

// Returns the listening sockets no process of `snapshot` lists (other users'
// processes, which cannot be looked into), one record per user: process ID 0,
// named "process of " and the user's name (or ID).
std::vector<NetProc> othersListening(const Snapshot& snapshot,
                                     const std::vector<SockDiag::TcpSocket>& sockets);

// Returns the project names of the snapshot's listening processes, keyed by
// PortRows::projectKey; folders are probed with `exists`.
std::map<std::string, std::string> projects(const Snapshot& snapshot, const std::string& home,
                                            const std::function<bool(const std::string&)>& exists);

// Runs the container tool's listing through `run` when the tool is installed, and
// returns its published ports; empty when it is missing, its daemon does not run,
// or the run fails or times out.
using ToolRunner = std::function<std::optional<ShellResult>(const std::vector<std::string>&)>;
std::map<uint16_t, std::string> docker(const std::string& home, const ToolRunner& run);

}  // namespace kelvane::LinuxPorts
