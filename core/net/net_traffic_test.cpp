#include "core/net/net_traffic.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

using Proto = NetConn::Proto;

const std::string kChrome = "/Applications/Google Chrome.app";

NetConn tcp(uint16_t localPort, std::optional<uint16_t> remotePort, std::string state,
            uint64_t in = 0, uint64_t out = 0) {
  std::optional<NetEndpoint> remote;
  if (remotePort) remote = NetEndpoint{"10.0.0.9", *remotePort};
  return {Proto::tcp, {"10.0.0.2", localPort}, remote, std::move(state), in, out};
}

// Chrome (500) with two helpers, a terminal's node server (700) and two
// daemons that belong to nobody in particular.
Snapshot desktop() {
  Snapshot s;
  s.procs = {
      {.pid = 500, .name = "Google Chrome", .path = kChrome + "/Contents/MacOS/Google Chrome"},
      {.pid = 501,
       .name = "Google Chrome Helper",
       .path = kChrome + "/Contents/Frameworks/Helper.app/Contents/MacOS/Google Chrome Helper"},
      {.pid = 502,
       .name = "Google Chrome Helper",
       .path = kChrome + "/Contents/Frameworks/Helper.app/Contents/MacOS/Google Chrome Helper"},
      {.pid = 700, .name = "node", .path = "/opt/homebrew/bin/node"},
  };
  s.apps = {{.pid = 500, .name = "Google Chrome", .bundlePath = kChrome}};
  return s;
}

bool mine(int32_t pid) { return pid == 700; }

TEST(NetStatApps, FoldsHelpersAndSortsBusiestFirst) {
  const std::vector<NetProc> before{
      {500, "Google Chrome", 1'000, 1'000, {}},
      {501, "Google Chrome Helper", 10'000, 2'000, {tcp(51000, 443, "Established", 9'000, 1'000)}},
      {502, "Google Chrome Helper", 0, 0, {}},
      {700, "node", 500, 500, {}},
      {415, "mDNSResponder", 100, 100, {}},
  };
  const std::vector<NetProc> now{
      {500, "Google Chrome", 1'000, 1'200, {}},
      {501,
       "Google Chrome Helper",
       30'000,
       4'000,
       {tcp(51000, 443, "Established", 25'000, 2'000), tcp(51001, 443, "Established", 5'000, 0)}},
      {502, "Google Chrome Helper", 400, 0, {}},
      {700,
       "node",
       900,
       900,
       {tcp(5173, std::nullopt, "Listen"), tcp(5173, 52311, "Established", 400, 400)}},
      {415, "mDNSResponder", 140, 100, {}},
      {88, "sshd", 0, 0, {}},                                     // nothing at all: left out
      {90, "syslogd", 0, 0, {tcp(514, std::nullopt, "Listen")}},  // a socket but no bytes
  };
  const Snapshot snapshot = desktop();
  const auto rows = NetStat::apps(&before, now, 2.0, &snapshot, mine);
  ASSERT_EQ(rows.size(), 3u);
  const AppTraffic chrome{
      .id = "pid:500",
      .name = "Google Chrome",
      .iconPath = kChrome,
      .members = {"Google Chrome", "Google Chrome Helper"},
      .rate = {10'000 + 200, 100 + 1'000},  // 502 was seen before with zero counters
      .totalIn = 31'400,
      .totalOut = 5'200,
      .conns = {{"501 TCP 10.0.0.2:51000 10.0.0.9:443",
                 501,
                 now[1].conns[0],
                 NetDirection::outbound,
                 {8'000, 500}},
                {"501 TCP 10.0.0.2:51001 10.0.0.9:443",
                 501,
                 now[1].conns[1],
                 NetDirection::outbound,
                 {0, 0}}},  // new connection: no rate yet
  };
  EXPECT_EQ(rows[0], chrome);
  const AppTraffic node{.id = "pid:700",
                        .name = "node",
                        .members = {"node"},
                        .rate = {200, 200},
                        .totalIn = 900,
                        .totalOut = 900,
                        .conns = {{"700 TCP 10.0.0.2:5173 10.0.0.9:52311",
                                   700,
                                   now[3].conns[1],
                                   NetDirection::inbound,
                                   {}}}};
  EXPECT_EQ(rows[1], node);
  EXPECT_EQ(rows[2].id, "system");
  EXPECT_EQ(rows[2].name, "System");
  EXPECT_EQ(rows[2].members, (std::vector<std::string>{"mDNSResponder", "syslogd"}));
  EXPECT_EQ(rows[2].rate, (NetRate{20, 0}));
}

TEST(NetStatApps, RatesNeverNegativeAndZeroWithoutTime) {
  const std::vector<NetProc> before{
      {700, "node", 5'000, 100, {tcp(5000, 80, "Established", 900, 10)}}};
  const std::vector<NetProc> now{
      {700, "node", 1'000, 300, {tcp(5000, 80, "Established", 100, 30)}}};
  auto rows = NetStat::apps(&before, now, 4.0, nullptr, mine);
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].rate, (NetRate{0, 50}));  // received bytes dropped: a reset, not -1000/s
  EXPECT_EQ(rows[0].conns[0].rate, (NetRate{0, 5}));
  for (const double dt : {0.0, -1.0}) {
    rows = NetStat::apps(&before, now, dt, nullptr, mine);
    EXPECT_EQ(rows[0].rate, NetRate::zero());
    EXPECT_EQ(rows[0].conns[0].rate, NetRate::zero());
  }
  rows = NetStat::apps(nullptr, now, 4.0, nullptr, mine);  // first sample
  EXPECT_EQ(rows[0].rate, NetRate::zero());
  EXPECT_EQ(rows[0].totalIn, 1'000u);
}

TEST(NetStatApps, WithoutASnapshotOnlyMineStandAlone) {
  const std::vector<NetProc> now{{501, "Google Chrome Helper", 10, 0, {}},
                                 {700, "node", 10, 0, {}},
                                 {415, "mDNSResponder", 10, 0, {}},
                                 {0xFFFF, "zz", UINT64_MAX, UINT64_MAX, {}},
                                 {0xFFFE, "zz", 5, 5, {}}};
  const auto rows = NetStat::apps(nullptr, now, 1.0, nullptr, mine);
  std::vector<std::string> ids;
  for (const auto& row : rows) ids.push_back(row.id);
  // All idle: ties by name ("System" before "node"), then by id.
  EXPECT_EQ(ids, (std::vector<std::string>{"system", "pid:700"}));
  EXPECT_EQ(rows[0].totalIn, UINT64_MAX);  // stops at the top instead of wrapping
  EXPECT_TRUE(NetStat::apps(nullptr, now, 1.0, nullptr, nullptr).size() == 1);
}

}  // namespace
}  // namespace kelvane
