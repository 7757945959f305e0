#include "platform/linux/speed_runner.h"

#include <gtest/gtest.h>

#include "platform/linux/testing/http_throttle.h"
#include "platform/linux/testing/tcp_pair.h"

namespace kelvane {
namespace {

constexpr double kRate = 2'000'000;  // Bytes per second: 16 Mbit/s.
const SpeedRunLimits kShort{.duration = 3, .timeout = 30};

TEST(SpeedRunner, MeasuresAThrottledServerWithin15Percent) {
  testing::HttpThrottle server(kRate);
  std::vector<std::string> phases;
  const auto outcome = SpeedRunner::run({{server.host()}}, true, Date(500), kShort,
                                        [&phases](std::string_view p) { phases.emplace_back(p); });
  ASSERT_TRUE(std::holds_alternative<SpeedTest::Ok>(outcome))
      << std::get<SpeedTest::Failed>(outcome).message;
  const SpeedResult& r = std::get<SpeedTest::Ok>(outcome).result;
  EXPECT_NEAR(r.down, kRate * 8, kRate * 8 * 0.15);
  EXPECT_NEAR(r.up, kRate * 8, kRate * 8 * 0.15);
  EXPECT_GT(r.latency, 0);
  EXPECT_GT(r.loadedLatency, 0);  // Probes ran beside the transfers.
  EXPECT_LT(r.latency, 1000);
  // What the line carried counts against the budget: about what the server moved,
  // give or take its socket buffers (never the upload's unsent local buffer).
  const auto moved = double(server.sent() + server.received());
  EXPECT_NEAR(double(r.bytes), moved, 256 * 1024);
  EXPECT_EQ(r.interface, "lo");
  EXPECT_TRUE(r.automatic);
  EXPECT_EQ(r.at, Date(500));
  EXPECT_EQ(phases, (std::vector<std::string>{"latency", "download", "upload"}));
}

TEST(SpeedRunner, ChoosesAServerThatAnswers) {
  testing::HttpThrottle server(0);
  // A port nobody listens on: a listener opened and closed again.
  const int gone = testing::listenOn("127.0.0.1");
  const uint16_t deadPort = testing::portOf(gone);
  ::close(gone);
  const auto outcome =
      SpeedRunner::run({{"127.0.0.1:" + std::to_string(deadPort)}, {server.host()}}, false, Date(0),
                       {.duration = 0.3, .timeout = 10});
  EXPECT_TRUE(std::holds_alternative<SpeedTest::Ok>(outcome));
}

TEST(SpeedRunner, FailuresSayWhyAndCountWhatWasUsed) {
  const auto none = SpeedRunner::run({}, false, Date(0), kShort);
  EXPECT_EQ(none, SpeedTest::Outcome(SpeedTest::Failed{"no speed server is listed", 0}));

  testing::HttpThrottle broken(0);
  broken.fail(true);
  const auto refused = SpeedRunner::run({{broken.host()}}, false, Date(0), kShort);
  ASSERT_TRUE(std::holds_alternative<SpeedTest::Failed>(refused));
  EXPECT_EQ(std::get<SpeedTest::Failed>(refused).message, "no speed server answered");

  // The time limit passes during the download: what it moved is still counted.
  testing::HttpThrottle slow(kRate);
  const auto late =
      SpeedRunner::run({{slow.host()}}, true, Date(0), {.duration = 5, .timeout = 1.5});
  ASSERT_TRUE(std::holds_alternative<SpeedTest::Failed>(late));
  EXPECT_EQ(std::get<SpeedTest::Failed>(late).message, "download failed: timed out");
  // Some of what the server sent may still have been on its way.
  EXPECT_GE(std::get<SpeedTest::Failed>(late).bytes, int64_t(slow.sent() * 0.9));
  EXPECT_GT(slow.sent(), 0u);
}

TEST(SpeedRunnerUrl, HostsWithAndWithoutScheme) {
  EXPECT_EQ(SpeedRunner::url({"speed.example.net:8080"}, "/__up"),
            "http://speed.example.net:8080/__up");
  EXPECT_EQ(SpeedRunner::url({"https://speed.example.net/"}, "/__up"),
            "https://speed.example.net/__up");
  EXPECT_EQ(SpeedRunner::url({"[::1]:9000"}, "/__down?bytes=0"),
            "http://[::1]:9000/__down?bytes=0");
}

}  // namespace
}  // namespace kelvane
