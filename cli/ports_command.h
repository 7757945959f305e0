#pragma once
// `kelvane ports`: every listening TCP port of this machine with its owner, the
// project it serves, whether it is open to the network, how long it has been
// idle and how the sweep treats it.
#include <ostream>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/model/activity.h"
#include "core/model/snapshot.h"
#include "core/net/port_rows.h"
#include "core/support/calendar.h"

namespace kelvane::cli {

// Builds the rows of this machine's listeners for `snapshot`: the listeners of
// processes it cannot see into, their projects and Docker's published ports are
// read here. No sweep plan: nothing shows a stop time.
std::vector<PortRow> machinePortRows(const Snapshot& snapshot, const Activity& activity,
                                     const Allowlist& allowlist, const std::string& home);

// Prints the rows as a table (port, process, PID, project, folder, network,
// connections, idle, status) with a count of development servers and open ports.
void printPorts(const std::vector<PortRow>& rows, const Calendar& calendar, std::ostream& out);

// Returns the rows for --json, each with its status text.
nlohmann::json portsJson(const std::vector<PortRow>& rows, const Calendar& calendar);

}  // namespace kelvane::cli
