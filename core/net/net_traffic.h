#pragma once
// Per-application network traffic from two successive samples of the network
// statistics tool: rates per process and per connection, folded into one row
// per application (helpers under their application), one per own process and
// one "System" row for the rest.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/model/snapshot.h"
#include "core/net/net_stat.h"

namespace kelvane {

// One connection of a traffic row, with its own rate.
struct TrafficConn {
  std::string id;  // The process ID, a space and the connection's key.
  int32_t pid = 0;
  NetConn conn;
  NetDirection direction = NetDirection::outbound;
  NetRate rate;
  bool operator==(const TrafficConn&) const = default;
};

// One row of the traffic view.
struct AppTraffic {
  std::string id;    // "pid:" and the application's (or own process's) ID, or "system".
  std::string name;  // Application or process name; "System" for the system row.
  std::optional<std::string> iconPath;  // Bundle whose icon is shown.
  std::vector<std::string> members;     // Names of the processes folded in, sorted, once each.
  NetRate rate;                         // Sum of the members' rates.
  uint64_t totalIn = 0;                 // Members' cumulative bytes, stopping at the maximum.
  uint64_t totalOut = 0;
  std::vector<TrafficConn> conns;  // Busiest first.
  bool operator==(const AppTraffic&) const = default;
};

namespace NetStat {

// Returns the traffic rows of sample `now`, `dt` seconds after `prev` (may be
// null). Processes with no bytes and no connection are left out. Rates are 0
// without a previous record or when `dt` is not above 0, and a counter that
// went backwards adds 0. Processes of an application group of `snapshot` (may
// be null) count under it, other processes for which `isMine` holds get rows
// of their own, everything else counts as "System". Rows and their
// connections are sorted busiest first (download plus upload), ties by name,
// then by id. Connections without a direction (listening, no peer) are left out.
std::vector<AppTraffic> apps(const std::vector<NetProc>* prev, const std::vector<NetProc>& now,
                             double dt, const Snapshot* snapshot,
                             const std::function<bool(int32_t)>& isMine);

}  // namespace NetStat
}  // namespace kelvane

template <>
struct std::hash<kelvane::TrafficConn> {
  size_t operator()(const kelvane::TrafficConn& conn) const noexcept;
};
template <>
struct std::hash<kelvane::AppTraffic> {
  size_t operator()(const kelvane::AppTraffic& row) const noexcept;
};
