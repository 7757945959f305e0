#include "core/net/net_traffic.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

const std::string kChrome = "/Applications/Google Chrome.app";
const std::string kHelper = kChrome + "/Contents/Frameworks/Helper.app/Contents/MacOS/Helper";

NetConn tcp(uint16_t port, std::optional<uint16_t> peer, std::string state, uint64_t in = 0,
            uint64_t out = 0) {
  std::optional<NetEndpoint> remote;
  if (peer) remote = NetEndpoint{"10.0.0.9", *peer};
  return {NetConn::Proto::tcp, {"10.0.0.2", port}, remote, std::move(state), in, out};
}

bool mine(int32_t pid) { return pid == 700; }

std::string pair(double a, double b) {
  return std::to_string(static_cast<int64_t>(a)) + "/" + std::to_string(static_cast<int64_t>(b));
}

// One line per row ("id name [icon] members down/up in/out") and per connection.
std::vector<std::string> show(const std::vector<AppTraffic>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) {
    std::string members;
    for (const auto& m : r.members) members += (members.empty() ? "" : "+") + m;
    out.push_back(r.id + " " + r.name + (r.iconPath == kChrome ? " icon " : " ") + members + " " +
                  pair(r.rate.down, r.rate.up) + " " + pair(r.totalIn, r.totalOut));
    for (const auto& c : r.conns)
      out.push_back("  " + c.id + " " + std::string(displayText(c.direction)) + " " +
                    pair(c.rate.down, c.rate.up));
  }
  return out;
}

TEST(NetStatApps, FoldsHelpersUnderTheirApplication) {
  Snapshot s;
  s.procs = {{.pid = 500, .name = "Google Chrome", .path = kChrome + "/Contents/MacOS/Chrome"},
             {.pid = 501, .name = "Helper", .path = kHelper},
             {.pid = 502, .name = "Helper", .path = kHelper}};
  s.apps = {{.pid = 500, .name = "Google Chrome", .bundlePath = kChrome}};
  const std::vector<NetProc> before{
      {500, "Google Chrome", 1'000, 1'000, {}},
      {501, "Helper", 10'000, 2'000, {tcp(51000, 443, "Established", 9'000, 1'000)}},
      {502, "Helper", 0, 0, {}},
      {700, "node", 500, 500, {}},
      {415, "mDNSResponder", 100, 100, {}}};
  const std::vector<NetConn> helper{tcp(51000, 443, "Established", 25'000, 2'000),
                                    tcp(51001, 443, "Established", 5'000)};
  const std::vector<NetProc> now{
      {500, "Google Chrome", 1'000, 1'200, {}},
      {501, "Helper", 30'000, 4'000, helper},
      {502, "Helper", 400, 0, {}},
      {700, "node", 900, 900, {tcp(5173, {}, "Listen"), tcp(5173, 52311, "Established", 4, 4)}},
      {415, "mDNSResponder", 140, 100, {}},
      {88, "sshd", 0, 0, {}},                            // nothing at all: left out
      {90, "syslogd", 0, 0, {tcp(514, {}, "Listen")}}};  // a socket, no bytes
  EXPECT_EQ(
      show(NetStat::apps(&before, now, 2.0, &s, mine)),
      (std::vector<std::string>{
          "pid:500 Google Chrome icon Google Chrome+Helper 10200/1100 31400/5200",
          "  501 TCP 10.0.0.2:51000 10.0.0.9:443 Outbound 8000/500",
          "  501 TCP 10.0.0.2:51001 10.0.0.9:443 Outbound 0/0",  // new: no rate yet
          "pid:700 node node 200/200 900/900", "  700 TCP 10.0.0.2:5173 10.0.0.9:52311 Inbound 0/0",
          "system System mDNSResponder+syslogd 20/0 140/100"}));
}

TEST(NetStatApps, RatesNeverNegativeAndZeroWithoutTime) {
  const std::vector<NetProc> before{{7, "a", 5'000, 100, {tcp(5000, 80, "Established", 900, 10)}}};
  const std::vector<NetProc> now{{7, "a", 1'000, 300, {tcp(5000, 80, "Established", 100, 30)}}};
  auto rows = NetStat::apps(&before, now, 4.0, nullptr, nullptr);
  EXPECT_EQ(rows[0].rate, (NetRate{0, 50}));  // received bytes dropped: a reset, not -1000/s
  EXPECT_EQ(rows[0].conns[0].rate, (NetRate{0, 5}));
  for (const double dt : {0.0, -1.0}) {
    rows = NetStat::apps(&before, now, dt, nullptr, nullptr);
    EXPECT_EQ(rows[0].rate, NetRate::zero());
    EXPECT_EQ(rows[0].conns[0].rate, NetRate::zero());
  }
  EXPECT_EQ(NetStat::apps(nullptr, now, 4.0, nullptr, nullptr)[0].rate, NetRate::zero());
}

TEST(NetStatApps, TiesByNameThenIdAndTotalsStopAtTheTop) {
  const std::vector<NetProc> now{{700, "node", 10, 0, {}},
                                 {415, "mDNSResponder", 10, 0, {}},
                                 {9, "zz", UINT64_MAX, 0, {}},
                                 {701, "node", 1, 0, {}}};
  std::vector<std::string> ids;
  for (const auto& row :
       NetStat::apps(nullptr, now, 1.0, nullptr, [](int32_t pid) { return pid > 699; }))
    ids.push_back(row.id + (row.totalIn == UINT64_MAX ? " max" : ""));
  EXPECT_EQ(ids, (std::vector<std::string>{"system max", "pid:700", "pid:701"}));
}

}  // namespace
}  // namespace kelvane
