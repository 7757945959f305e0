#include "core/net/port_rows.h"

#include <algorithm>
#include <array>
#include <unordered_set>

#include "core/planning/guards.h"
#include "core/proc/proc_origin.h"
#include "core/support/text.h"

namespace kelvane {
namespace {

constexpr std::array<std::string_view, 5> kSystemPrefixes{"/System/", "/usr/", "/bin/", "/sbin/",
                                                          "/Library/Apple/"};

PortRow::Kind kindFor(const std::optional<std::string>& reason, int32_t pid,
                      const std::set<int32_t>& appPIDs) {
  if (!reason) return appPIDs.contains(pid) ? PortRow::Kind::app : PortRow::Kind::dev;
  if (*reason == "allowlisted") return PortRow::Kind::kept;
  if (*reason == "system" || *reason == "protected" || *reason == "other user" ||
      *reason == "unknown path")
    return PortRow::Kind::system;
  return PortRow::Kind::app;
}

// The processes the planned sweep will end. Closing a window or a tab leaves
// its process running, so only quitting and stopping count.
std::set<int32_t> stopping(const std::vector<Action>& plan, const std::set<std::string>& skipped) {
  std::set<int32_t> pids;
  for (const auto& action : plan)
    if ((action.kind == ActionKind::quitApp || action.kind == ActionKind::stopProcess) &&
        !skipped.contains(action.id()))
      pids.insert(action.pid);
  return pids;
}

// The ports in order, each once (a port bound on IPv4 and IPv6 is one row).
std::vector<uint16_t> distinct(const std::vector<uint16_t>& ports) {
  std::vector<uint16_t> out;
  for (const uint16_t port : ports)
    if (std::find(out.begin(), out.end(), port) == out.end()) out.push_back(port);
  return out;
}

// Seconds since the process last had a connection, when it has none now.
std::optional<double> idleOf(const Proc& proc, const Activity& activity, Date now) {
  if (proc.established > 0) return std::nullopt;
  const auto seen = activity.connSeen.find(proc.pid);
  if (seen == activity.connSeen.end()) return std::nullopt;
  return std::max(0.0, now - seen->second);
}

template <class T>
std::optional<T> lookup(const std::map<std::string, T>& map,
                        const std::optional<std::string>& key) {
  if (!key) return std::nullopt;
  const auto it = map.find(*key);
  return it == map.end() ? std::nullopt : std::optional<T>(it->second);
}

// The rows of the listening ports of one process from another user or the
// system, as the network statistics report it.
void addListenerRows(const NetProc& listener, const std::map<int32_t, std::string>& paths,
                     std::vector<PortRow>& rows) {
  std::vector<uint16_t> ports;
  int64_t established = 0;
  for (const auto& conn : listener.conns) {
    if (conn.proto != NetConn::Proto::tcp) continue;
    if (conn.state == "Established") ++established;
    if (conn.state == "Listen" && conn.local.port) ports.push_back(*conn.local.port);
  }
  const auto path = paths.find(listener.pid);
  const std::string exe = path == paths.end() ? "" : path->second;
  const bool system = std::any_of(kSystemPrefixes.begin(), kSystemPrefixes.end(),
                                  [&](std::string_view prefix) { return exe.starts_with(prefix); });
  for (const uint16_t port : distinct(ports)) {
    const bool exposed =
        std::any_of(listener.conns.begin(), listener.conns.end(), [&](const NetConn& conn) {
          return conn.proto == NetConn::Proto::tcp && conn.state == "Listen" &&
                 conn.local.port == port && !conn.local.isLoopback();
        });
    rows.push_back({.port = port,
                    .pid = listener.pid,
                    .name = listener.name,
                    .path = exe,
                    .exposed = exposed,
                    .connections = established,
                    .kind = system ? PortRow::Kind::system : PortRow::Kind::other});
  }
}

}  // namespace

std::string PortRow::id() const { return std::to_string(port) + ":" + std::to_string(pid); }

std::string PortRow::status(const std::function<std::string(Date)>& time) const {
  if (stopsAt) return "Stops at " + (time ? time(*stopsAt) : std::string());
  switch (kind) {
    case Kind::dev:
      return "In use";
    case Kind::kept:
      return "Kept · allowlist";
    case Kind::app:
      return "App";
    case Kind::system:
      return "macOS";
    case Kind::other:
      return "Other user";
  }
  return "Other user";
}

std::string_view rawValue(PortRow::Kind kind) {
  switch (kind) {
    case PortRow::Kind::dev:
      return "dev";
    case PortRow::Kind::kept:
      return "kept";
    case PortRow::Kind::app:
      return "app";
    case PortRow::Kind::system:
      return "system";
    case PortRow::Kind::other:
      return "other";
  }
  return "other";
}

std::string_view rawValue(PortFilter filter) {
  switch (filter) {
    case PortFilter::all:
      return "all";
    case PortFilter::dev:
      return "dev";
    case PortFilter::idle:
      return "idle";
    case PortFilter::network:
      return "network";
  }
  return "all";
}

bool matches(PortFilter filter, const PortRow& row) {
  switch (filter) {
    case PortFilter::all:
      return true;
    case PortFilter::dev:
      return row.kind == PortRow::Kind::dev;
    case PortFilter::idle:
      return row.stopsAt.has_value() && row.kind == PortRow::Kind::dev;
    case PortFilter::network:
      return row.exposed;
  }
  return true;
}

namespace PortRows {

std::vector<PortRow> rows(const Snapshot& snapshot, const Activity& activity,
                          const Allowlist& allowlist, const Sweep& sweep, const Machine& machine) {
  const auto stops = stopping(sweep.plan, sweep.skipped);
  std::set<int32_t> appPIDs;
  for (const auto& app : snapshot.apps) appPIDs.insert(app.pid);
  const Guards::Checker guard(snapshot, allowlist);
  std::vector<PortRow> out;
  std::unordered_set<int32_t> known;
  for (const auto& proc : snapshot.procs) {
    known.insert(proc.pid);
    if (proc.listenPorts.empty()) continue;
    const auto kind = kindFor(guard.block(proc, /*window=*/false), proc.pid, appPIDs);
    const auto idle = idleOf(proc, activity, snapshot.at);
    const auto folder = ProcOrigin::of(proc, snapshot, machine.home).folder;
    const auto project = lookup(machine.projects, projectKey(proc));
    for (const uint16_t port : distinct(proc.listenPorts)) {
      const auto label = machine.docker.find(port);
      const bool exposed = proc.exposedPorts &&
                           std::find(proc.exposedPorts->begin(), proc.exposedPorts->end(), port) !=
                               proc.exposedPorts->end();
      out.push_back({.port = port,
                     .pid = proc.pid,
                     .name = label == machine.docker.end() ? proc.name : label->second,
                     .path = proc.path,
                     .folder = folder,
                     .project = project,
                     .exposed = exposed,
                     .connections = proc.established,
                     .idle = idle,
                     .kind = kind,
                     .stopsAt = stops.contains(proc.pid) ? std::optional<Date>(sweep.nextRunAt)
                                                         : std::nullopt});
    }
  }
  for (const auto& listener : machine.listeners)
    if (known.insert(listener.pid).second) addListenerRows(listener, machine.paths, out);
  return out;
}

PortRow::Kind kind(const Proc& proc, const Snapshot& snapshot, const Allowlist& allowlist,
                   const std::set<int32_t>& appPIDs) {
  return kindFor(Guards::block(proc, snapshot, allowlist, /*window=*/false), proc.pid, appPIDs);
}

std::optional<std::string> projectKey(const Proc& proc) {
  if (proc.cwd && !proc.cwd->empty() && *proc.cwd != "/") return proc.cwd;
  const size_t slash = proc.path.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  return slash == 0 ? "/" : proc.path.substr(0, slash);
}

std::vector<PortRow> search(const std::vector<PortRow>& rows, std::string_view query) {
  const std::string_view trimmed = Text::trimmed(query);
  if (trimmed.empty()) return rows;
  const std::string needle = Text::lowercased(trimmed);
  std::vector<PortRow> out;
  for (const auto& row : rows) {
    const std::string text = std::to_string(row.port) + " " + row.name + " " + row.path + " " +
                             row.project.value_or("") + " " + row.folder.value_or("");
    if (Text::lowercased(text).find(needle) != std::string::npos) out.push_back(row);
  }
  return out;
}

}  // namespace PortRows
}  // namespace kelvane
