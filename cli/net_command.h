#pragma once
// `kelvane net`: TCP traffic per application from the kernel's own socket
// counters, as a view refreshed every second on a terminal, or one sample.
#include <cstddef>
#include <ostream>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/net/net_traffic.h"
#include "core/support/date.h"

namespace kelvane::cli {

// What the traffic view leaves out, said under every table and in the JSON.
inline constexpr std::string_view kNotCounted =
    "TCP only: UDP (QUIC included) is not counted, nor what a connection moved "
    "after the last sample when it closed before the next.";

// Prints the rows busiest first: application, rates down and up, totals received
// and sent while watched, connections; at most `limit` rows, then a line saying
// how many more there are. A note replaces the table when there are no rows.
// `unseen` sockets of processes that cannot be looked into are said to be left out.
void printTraffic(const std::vector<AppTraffic>& rows, std::ostream& out, size_t limit = 50,
                  size_t unseen = 0);

// Returns {"at", "interval", "apps": [...], "notCounted"} for --json; rates in
// bytes per second, totals in bytes.
nlohmann::json trafficJson(const std::vector<AppTraffic>& rows, Date at, double interval);

}  // namespace kelvane::cli
