#pragma once
// NetStat: reads one sample of the per-process network statistics tool into
// processes with their connections, and tells which way a connection goes.
// The host runs the tool (argv) and hands over its text. Pure functions.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "core/net/net_endpoint.h"

namespace kelvane {

struct NetConn {
  enum class Proto { tcp, udp };  // QUIC counts as UDP.

  Proto proto = Proto::tcp;
  NetEndpoint local;
  std::optional<NetEndpoint> remote;  // Absent for a socket without a peer.
  std::string state;                  // TCP state as printed ("Listen"); empty for UDP.
  uint64_t bytesIn = 0;               // Cumulative.
  uint64_t bytesOut = 0;              // Cumulative.
  bool operator==(const NetConn&) const = default;

  // Returns the identity matched across samples: "TCP 127.0.0.1:5173" plus
  // " " and the remote's text when there is a remote.
  std::string key() const;
};

// Returns "TCP" or "UDP".
std::string_view rawValue(NetConn::Proto proto);

struct NetProc {
  int32_t pid = 0;
  std::string name;
  uint64_t bytesIn = 0;  // Process totals, cumulative.
  uint64_t bytesOut = 0;
  std::vector<NetConn> conns;
  bool operator==(const NetProc&) const = default;

  // Returns the known local ports of its TCP connections in state "Listen".
  std::set<uint16_t> listening() const;
};

// Traffic rates in bytes per second.
struct NetRate {
  double down = 0;
  double up = 0;
  bool operator==(const NetRate&) const = default;

  static constexpr NetRate zero() { return {}; }
};

enum class NetDirection { outbound, inbound };

// Returns "Outbound" or "Inbound".
std::string_view displayText(NetDirection direction);

namespace NetStat {

// The tool's command line: one sample, comma-separated, raw byte counts,
// no name resolution, three columns.
inline const std::vector<std::string> argv{"/usr/bin/nettop",         "-n", "-L", "1", "-x", "-J",
                                           "bytes_in,bytes_out,state"};

// Reads the tool's text: a header naming the columns, then process lines
// ("name.pid") each followed by its connection lines ("tcp4 a:1<->b:2").
// Unreadable lines are skipped, unreadable numbers count as 0, invalid UTF-8
// is replaced; a header without bytes_in, bytes_out and state gives nothing.
std::vector<NetProc> parse(std::string_view text);

// Returns which way `conn` goes: none for a listening socket or one without a
// peer; inbound when its local port is one of `listening`; else outbound
// (always for UDP and for an unknown local port).
[[nodiscard]] std::optional<NetDirection> direction(const NetConn& conn,
                                                    const std::set<uint16_t>& listening);

}  // namespace NetStat
}  // namespace kelvane

template <>
struct std::hash<kelvane::NetConn> {
  size_t operator()(const kelvane::NetConn& conn) const noexcept;
};
template <>
struct std::hash<kelvane::NetProc> {
  size_t operator()(const kelvane::NetProc& proc) const noexcept;
};
