#pragma once
// PortRows: every listening TCP port of the machine as a row of the ports
// view — owner, project, exposure, idle time, how the sweep treats it and when
// the next sweep stops it — with the view's filters and search. Pure.
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/actions/action.h"
#include "core/config/allowlist.h"
#include "core/model/activity.h"
#include "core/model/snapshot.h"
#include "core/net/net_stat.h"
#include "core/support/date.h"

namespace kelvane {

struct PortRow {
  // How the sweep treats the owner.
  enum class Kind { dev, kept, app, system, other };

  uint16_t port = 0;
  int32_t pid = 0;
  std::string name;                    // Process name, or the container's label for a Docker port.
  std::string path;                    // Executable path; empty when unknown.
  std::optional<std::string> folder;   // Working folder, home written as "~".
  std::optional<std::string> project;  // Name of the project the process serves.
  bool exposed = false;                // Listening beyond loopback.
  int64_t connections = 0;             // Established connections.
  std::optional<double> idle;          // Seconds since last busy; never negative.
  Kind kind = Kind::other;
  std::optional<Date> stopsAt;  // When the planned sweep stops the owner.
  bool operator==(const PortRow&) const = default;

  // Returns the row's identity, "port:pid".
  std::string id() const;
  // Returns "Stops at " and `time(stopsAt)` when a stop is planned, else the
  // kind's text: "In use", "Kept · allowlist", "App", "macOS", "Other user".
  std::string status(const std::function<std::string(Date)>& time) const;
};

// Returns the kind's stored text, its case name ("dev", "kept", ...).
std::string_view rawValue(PortRow::Kind kind);

enum class PortFilter { all, dev, idle, network };

// Returns the filter's stored text, its case name.
std::string_view rawValue(PortFilter filter);
// Tells whether the filter shows the row: all always, dev for development
// servers, idle for development servers with a planned stop, network for
// exposed ports.
bool matches(PortFilter filter, const PortRow& row);

namespace PortRows {

// What the planned sweep will end, and when.
struct Sweep {
  std::vector<Action> plan;
  std::set<std::string> skipped;  // IDs of planned actions the user skipped.
  Date nextRunAt;
  bool operator==(const Sweep&) const = default;
};

// What the application learnt about the machine beyond the snapshot.
struct Machine {
  std::vector<NetProc> listeners;               // Every listening process, of any user.
  std::map<int32_t, std::string> paths;         // Executable paths of the listeners.
  std::map<std::string, std::string> projects;  // Project names by projectKey.
  std::map<uint16_t, std::string> docker;       // Container labels by published port.
  std::string home;                             // The user's home folder.
  bool operator==(const Machine&) const = default;
};

// Returns the rows of the processes of `snapshot` that listen, in snapshot
// order, then those of `machine.listeners` the snapshot lacks (other users'
// processes, system daemons). Actions of the sweep's plan that quit or stop a
// process and are not skipped give its rows `stopsAt` = `sweep.nextRunAt`. A
// port listed twice for one process gives one row.
std::vector<PortRow> rows(const Snapshot& snapshot, const Activity& activity,
                          const Allowlist& allowlist, const Sweep& sweep, const Machine& machine);

// Returns how the sweep treats `proc`: unprotected processes are dev servers,
// or apps when `appPIDs` holds them; allowlisted ones are kept; system,
// protected, other users' and pathless ones are system; any other protection
// reason makes an app.
PortRow::Kind kind(const Proc& proc, const Snapshot& snapshot, const Allowlist& allowlist,
                   const std::set<int32_t>& appPIDs);

// Returns the folder that names the process's project: its working folder
// when known and not "/", else the folder holding its executable; nullopt
// when neither is known.
[[nodiscard]] std::optional<std::string> projectKey(const Proc& proc);

// Returns the rows whose port, name, path, project or folder contains the
// query, ignoring case; all rows for a blank query.
std::vector<PortRow> search(const std::vector<PortRow>& rows, std::string_view query);

}  // namespace PortRows
}  // namespace kelvane
