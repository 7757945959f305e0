#include "cli/net_command.h"

#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/text_table.h"

namespace kelvane::cli {
namespace {

AppTraffic row(std::string name, double down, uint64_t totalIn) {
  AppTraffic r{.id = "pid:1", .name = std::move(name), .members = {"a"}};
  r.rate = {down, down / 2};
  r.totalIn = totalIn;
  r.totalOut = totalIn / 2;
  return r;
}

TEST(NetView, TableIsAlignedWithUnitsAndSaysWhatIsNotCounted) {
  std::ostringstream out;
  printTraffic({row("Browser", 1'500'000, 120'000'000), row("büro\x01tool", 0, 999)}, out);
  // Compare column by column: the widths follow the widest cell, in characters.
  std::istringstream lines(out.str());
  std::string header, first, second;
  std::getline(lines, header);
  std::getline(lines, first);
  std::getline(lines, second);
  EXPECT_EQ(displayWidth(first), displayWidth(second));
  EXPECT_EQ(displayWidth(header), displayWidth(first));
  EXPECT_NE(first.find("1.5 MB/s"), std::string::npos);
  EXPECT_NE(first.find("120 MB"), std::string::npos);
  EXPECT_NE(second.find("büro?tool"), std::string::npos);  // The control character is masked.
  EXPECT_NE(out.str().find(kNotCounted), std::string::npos);
}

TEST(NetView, LongListsAreCutAndAnEmptyOneIsSaidSo) {
  std::vector<AppTraffic> rows(5, row("x", 1, 1));
  std::ostringstream out;
  printTraffic(rows, out, 3);
  EXPECT_NE(out.str().find("… and 2 more"), std::string::npos);
  std::ostringstream none;
  printTraffic({}, none, 50, 3);
  EXPECT_EQ(none.str().rfind("No TCP connections.\n", 0), 0u);
  EXPECT_NE(none.str().find("3 sockets of processes that cannot be looked into (other users') "
                            "are not counted."),
            std::string::npos);
}

TEST(NetView, JsonCarriesRatesTotalsAndConnections) {
  AppTraffic r = row("Browser", 10, 20);
  r.iconPath = "/usr/share/app";
  r.conns.push_back(TrafficConn{.id = "1 TCP 127.0.0.1:5000 127.0.0.1:80",
                                .pid = 1,
                                .conn = {.local = {"127.0.0.1", 5000},
                                         .remote = NetEndpoint{"127.0.0.1", 80},
                                         .state = "Established",
                                         .bytesIn = 7,
                                         .bytesOut = 8},
                                .direction = NetDirection::outbound,
                                .rate = {3, 4}});
  const auto j = trafficJson({r}, Date(0), 1.0);
  EXPECT_EQ(j["at"], "2001-01-01T00:00:00Z");
  EXPECT_EQ(j["notCounted"], kNotCounted);
  const auto& app = j["apps"][0];
  EXPECT_EQ(app["down"], 10.0);
  EXPECT_EQ(app["totalOut"], 10u);
  EXPECT_EQ(app["iconPath"], "/usr/share/app");
  EXPECT_EQ(app["conns"][0]["remote"], "127.0.0.1:80");
  EXPECT_EQ(app["conns"][0]["direction"], "Outbound");
  EXPECT_EQ(app["conns"][0]["bytesOut"], 8u);
}

}  // namespace
}  // namespace kelvane::cli
