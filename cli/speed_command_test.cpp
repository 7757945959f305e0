#include "cli/speed_command.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "cli/testing/run_tool.h"
#include "core/speed/speed_store.h"
#include "core/support/testing/temp_dir.h"
#include "platform/linux/testing/http_throttle.h"

namespace kelvane::cli {
namespace {

TEST(SpeedView, HistoryShowsLocalTimesUnitsAndTheMonthsUse) {
  const Calendar berlin = *Calendar::named("Europe/Berlin");
  const Date at = *berlin.dateOf({.year = 2026, .month = 3, .day = 5, .hour = 9, .minute = 30});
  const SpeedResult r{.at = at,
                      .down = 95e6,
                      .up = 20.4e6,
                      .latency = 12.3,
                      .loadedLatency = 40,
                      .bytes = 150'000'000,
                      .interface = "eth0",
                      .automatic = true};
  const SpeedBudget budget{.month = "2026-03", .bytes = 5'000'000'000, .lastAuto = at};
  std::ostringstream out;
  printSpeedHistory({r}, budget, 5'000'000'000, true,
                    SpeedDecisionNote{at + 3600, "skipped: monthly budget used"}, at + 7200, berlin,
                    out);
  const std::string text = out.str();
  EXPECT_NE(text.find("(times in Europe/Berlin)"), std::string::npos);
  EXPECT_NE(text.find("2026-03-05 09:30"), std::string::npos);
  EXPECT_NE(text.find("95"), std::string::npos);
  EXPECT_NE(text.find("Good"), std::string::npos);
  EXPECT_NE(text.find("schedule"), std::string::npos);
  EXPECT_NE(text.find("in 2026-03: 5 GB of 5 GB (automatic tests wait for next month)"),
            std::string::npos);
  EXPECT_NE(text.find("Schedule's last check: 2026-03-05 10:30, skipped: monthly budget used"),
            std::string::npos);
  // The next month starts from nothing.
  std::ostringstream april;
  printSpeedHistory({}, budget, 5'000'000'000, false, std::nullopt,
                    *berlin.dateOf({.year = 2026, .month = 4, .day = 1, .hour = 1}), berlin, april);
  EXPECT_NE(april.str().find("in 2026-04: Zero KB of 5 GB\n"), std::string::npos);
  EXPECT_NE(april.str().find("Automatic tests: off, last at 2026-03-05 09:30"), std::string::npos);
}

TEST(SpeedView, ResultNamesUnitsAndLevel) {
  std::ostringstream out;
  printSpeedResult({.down = 250e6,
                    .up = 9.5e6,
                    .latency = 3.26,
                    .loadedLatency = 18,
                    .bytes = 2'500'000,
                    .interface = "wlan0"},
                   out);
  EXPECT_EQ(out.str(),
            "Download  250 Mbit/s (Excellent)\n"
            "Upload    9.5 Mbit/s\n"
            "Latency   3.3 ms idle, 18 ms loaded\n"
            "Data used 2.5 MB on wlan0\n");
}

TEST(SpeedCommand, RunsAgainstAServerAndKeepsTheResult) {
  TempDir data;
  testing::HttpThrottle server(1'000'000);
  int status = -1;
  const std::string out = runTool(
      "speed --quick --data " + data.path().string() + " --server " + server.host(), &status);
  EXPECT_EQ(status, 0) << out;
  EXPECT_NE(out.find("Download  8"), std::string::npos) << out;  // 8 Mbit/s, give or take.
  const Store store(data.path());
  ASSERT_EQ(speedResults(store, Date::now()).size(), 1u);
  const std::string history = runTool("speed --history --json --data " + data.path().string());
  const auto j = nlohmann::json::parse(history);
  EXPECT_EQ(j["results"].size(), 1u);
  EXPECT_GT(j["used"].get<int64_t>(), 0);
}

TEST(SpeedCommand, WithoutServersSaysWhereToListThem) {
  TempDir data;
  int status = -1;
  const std::string out = runTool("speed --data " + data.path().string(), &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(out.find("no speed server is listed"), std::string::npos);
  EXPECT_NE(out.find("speed-servers.json"), std::string::npos);
  std::ofstream(data.path() / "speed-servers.json") << "[1, 2";
  EXPECT_NE(runTool("speed --data " + data.path().string(), &status).find("is not a list"),
            std::string::npos);
  EXPECT_EQ(status, 2);
}

}  // namespace
}  // namespace kelvane::cli
