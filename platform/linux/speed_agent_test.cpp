#include "platform/linux/speed_agent.h"

#include <fstream>

#include <gtest/gtest.h>

#include "core/speed/speed_store.h"
#include "core/support/testing/temp_dir.h"
#include "platform/linux/testing/http_throttle.h"

namespace kelvane {
namespace {

struct Agent {
  TempDir dir;
  Store store{dir.path()};
  Calendar calendar = *Calendar::named("Europe/Berlin");
  double clock = 0;
  int finished = 0;
  SpeedAgent agent{
      store, SpeedAgent::Setup{.now = [this] { return Date(clock); },
                               .calendar = calendar,
                               .online = [] { return true; },
                               .limits = {.duration = 0.3, .timeout = 10},
                               .finished = [this](const SpeedSession::Report&) { ++finished; }}};

  Agent() { std::filesystem::create_directories(dir.path()); }
  void at(int month, int day, int hour) {
    clock = calendar.dateOf({.year = 2026, .month = month, .day = day, .hour = hour})
                ->timeIntervalSinceReferenceDate();
  }
  void list(const testing::HttpThrottle& server) {
    std::ofstream(store.path(SpeedSession::kServersFile))
        << "[{\"host\": \"" << server.host() << "\"}]";
  }
};

TEST(SpeedAgent, RunsOnScheduleUntilTheBudgetIsUsedAndAgainNextMonth) {
  Agent a;
  testing::HttpThrottle server(0);
  a.list(server);
  Config config = Config::fresh(Date(0));
  config.speedTestBudgetGB = 1;

  a.at(3, 10, 12);
  EXPECT_EQ(a.agent.tick(config), "run");
  a.agent.wait();
  EXPECT_EQ(a.finished, 1);
  EXPECT_EQ(speedResults(a.store, Date(a.clock)).size(), 1u);
  EXPECT_EQ(SpeedSession::budget(a.store).lastAuto, Date(a.clock));

  a.at(3, 10, 14);  // Two hours later: within the three-hour interval.
  EXPECT_EQ(a.agent.tick(config), "wait");
  EXPECT_EQ(SpeedSession::lastDecision(a.store)->decision, "wait");

  // The month's gigabyte is used up: automatic tests stop, with the reason noted.
  SpeedBudget spent = SpeedSession::budget(a.store);
  spent.bytes = 1'000'000'000;
  ASSERT_TRUE(a.store.save(spent, SpeedBudget::file));
  a.at(3, 10, 16);
  EXPECT_EQ(a.agent.tick(config), "skipped: monthly budget used");
  a.at(3, 31, 16);
  EXPECT_EQ(a.agent.tick(config), "skipped: monthly budget used");
  EXPECT_EQ(
      SpeedSession::lastDecision(a.store),
      (SpeedDecisionNote{*a.calendar.dateOf({.year = 2026, .month = 3, .day = 10, .hour = 16}),
                         "skipped: monthly budget used"}));  // Noted when it changed.
  EXPECT_EQ(a.finished, 1);

  a.at(4, 1, 12);  // A new month starts from nothing.
  EXPECT_EQ(a.agent.tick(config), "run");
  a.agent.wait();
  EXPECT_EQ(a.finished, 2);
  EXPECT_EQ(SpeedSession::budget(a.store).month, "2026-04");
}

TEST(SpeedAgent, SkipsWithoutServersAndWhileItsTestRuns) {
  Agent a;
  Config config = Config::fresh(Date(0));
  a.at(3, 10, 12);
  EXPECT_EQ(a.agent.tick(config), "skipped: no speed server is listed");
  EXPECT_EQ(a.finished, 0);
  EXPECT_FALSE(a.store.exists(SpeedBudget::file));  // Nothing ran, nothing counted.

  testing::HttpThrottle slow(200'000);
  a.list(slow);
  EXPECT_EQ(a.agent.tick(config), "run");
  EXPECT_EQ(a.agent.tick(config), "skipped: a test is running");
  a.agent.wait();
  EXPECT_EQ(a.finished, 1);
}

}  // namespace
}  // namespace kelvane
