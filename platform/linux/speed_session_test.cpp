#include "platform/linux/speed_session.h"

#include <fcntl.h>
#include <fstream>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/speed/speed_store.h"
#include "core/support/testing/temp_dir.h"
#include "platform/linux/testing/http_throttle.h"

namespace kelvane {
namespace {

const SpeedRunLimits kQuick{.duration = 0.4, .timeout = 10};

struct Folder {
  TempDir dir;
  Store store{dir.path()};
  Calendar calendar = *Calendar::named("Europe/Berlin");

  void write(std::string_view name, std::string_view text) const {
    std::ofstream(store.path(name)) << text;
  }
  // Noon of a day of 2026 in the folder's zone.
  Date day(int month, int dayOfMonth) const {
    return *calendar.dateOf({.year = 2026, .month = month, .day = dayOfMonth, .hour = 12});
  }
};

TEST(SpeedSession, AFinishedTestIsLoggedAndCountedAFailedOneOnlyCounted) {
  Folder f;
  testing::HttpThrottle server(0);
  double clock = f.day(3, 10).timeIntervalSinceReferenceDate();
  const auto now = [&clock] { return Date(clock); };
  const auto first = SpeedSession::run(f.store, {{server.host()}}, false, now, f.calendar, kQuick);
  ASSERT_TRUE(first);
  ASSERT_TRUE(std::holds_alternative<SpeedTest::Ok>(first->outcome));
  EXPECT_EQ(first->storeError, std::nullopt);
  const int64_t used = SpeedTest::consumed(first->outcome);
  EXPECT_GT(used, 0);
  EXPECT_EQ(speedResults(f.store, now()).size(), 1u);
  EXPECT_EQ(SpeedSession::budget(f.store).bytes, used);
  EXPECT_EQ(SpeedSession::budget(f.store).month, "2026-03");
  EXPECT_EQ(SpeedSession::budget(f.store).lastAuto, std::nullopt);  // A manual test.

  server.fail(true);
  const auto second = SpeedSession::run(f.store, {{server.host()}}, true, now, f.calendar, kQuick);
  ASSERT_TRUE(second && std::holds_alternative<SpeedTest::Failed>(second->outcome));
  EXPECT_EQ(speedResults(f.store, now()).size(), 1u);
  EXPECT_EQ(SpeedSession::budget(f.store).bytes, used + SpeedTest::consumed(second->outcome));
  EXPECT_EQ(SpeedSession::budget(f.store).lastAuto, Date(clock));
}

TEST(SpeedSession, OneTestAtATime) {
  Folder f;
  testing::HttpThrottle server(0);
  EXPECT_FALSE(SpeedSession::running(f.store));
  std::filesystem::create_directories(f.store.dir);
  const int held = ::open(f.store.path(SpeedSession::kLockFile).c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(::flock(held, LOCK_EX), 0);
  EXPECT_TRUE(SpeedSession::running(f.store));
  const auto refused = SpeedSession::run(
      f.store, {{server.host()}}, false, [] { return Date(0); }, f.calendar, kQuick);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "a test is running");
  EXPECT_EQ(server.requests(), 0u);
  ::close(held);
  EXPECT_FALSE(SpeedSession::running(f.store));
  // Something else in the lock's place is said so, not taken for a running test.
  std::filesystem::remove(f.store.path(SpeedSession::kLockFile));
  ASSERT_EQ(::mkfifo(f.store.path(SpeedSession::kLockFile).c_str(), 0600), 0);
  const auto odd = SpeedSession::run(
      f.store, {{server.host()}}, false, [] { return Date(0); }, f.calendar, kQuick);
  ASSERT_FALSE(odd);
  EXPECT_NE(odd.error().find("is not a regular file"), std::string::npos);
  EXPECT_FALSE(SpeedSession::running(f.store));
}

TEST(SpeedSession, ServerListFromTheSupportFolder) {
  Folder f;
  EXPECT_EQ(SpeedSession::servers(f.store).value(), std::vector<SpeedServer>{});
  std::filesystem::create_directories(f.store.dir);
  f.write(SpeedSession::kServersFile,
          R"([{"host": "a.example:8080"}, {"host": ""}, {"host": ":1"}])");
  EXPECT_EQ(SpeedSession::servers(f.store).value(), std::vector<SpeedServer>{{"a.example:8080"}});
  f.write(SpeedSession::kServersFile, R"({"host": "a.example"})");
  EXPECT_FALSE(SpeedSession::servers(f.store));
  // A FIFO in its place is refused at once, not waited on.
  std::filesystem::remove(f.store.path(SpeedSession::kServersFile));
  ASSERT_EQ(::mkfifo(f.store.path(SpeedSession::kServersFile).c_str(), 0600), 0);
  EXPECT_FALSE(SpeedSession::servers(f.store));
}

TEST(SpeedSession, TheBudgetStopsAutomaticTestsUntilNextMonth) {
  Folder f;
  Config config = Config::fresh(Date(0));
  config.speedTestBudgetGB = 1;
  std::filesystem::create_directories(f.store.dir);
  const Date march = f.day(3, 20);
  const auto decide = [&](Date at) {
    return SpeedSession::decide(f.store, config, at, f.calendar, /*online=*/true, false);
  };
  EXPECT_EQ(decide(march), SpeedSchedule::Decision::run());
  // A test ran four hours ago and the month's gigabyte is used up.
  const SpeedBudget spent = SpeedBudget{}.adding(1'000'000'000, march - 4 * 3600, true, f.calendar);
  ASSERT_TRUE(f.store.save(spent, SpeedBudget::file));
  EXPECT_EQ(decide(march), SpeedSchedule::Decision::skip(SpeedSkip::budget));
  EXPECT_EQ(decide(f.day(3, 31)), SpeedSchedule::Decision::skip(SpeedSkip::budget));
  EXPECT_EQ(decide(f.day(4, 1)), SpeedSchedule::Decision::run());
  // Within the interval after the last automatic test the schedule waits first.
  EXPECT_EQ(decide(march - 3 * 3600), SpeedSchedule::Decision::wait());
  // The other reasons, in their order.
  EXPECT_EQ(SpeedSession::decide(f.store, config, f.day(4, 1), f.calendar, false, true),
            SpeedSchedule::Decision::skip(SpeedSkip::offline));
  EXPECT_EQ(SpeedSession::decide(f.store, config, f.day(4, 1), f.calendar, true, true),
            SpeedSchedule::Decision::skip(SpeedSkip::locked));
  config.speedTestAuto = false;
  EXPECT_EQ(decide(f.day(4, 1)), SpeedSchedule::Decision::skip(SpeedSkip::off));
}

TEST(SpeedSession, DecisionsAreNotedAsText) {
  Folder f;
  EXPECT_EQ(SpeedSession::lastDecision(f.store), std::nullopt);
  ASSERT_TRUE(SpeedSession::noteDecision(f.store, Date(60),
                                         SpeedSchedule::Decision::skip(SpeedSkip::budget)));
  EXPECT_EQ(SpeedSession::lastDecision(f.store),
            (SpeedDecisionNote{Date(60), "skipped: monthly budget used"}));
  f.write(SpeedSession::kDecisionFile, "{not json");
  EXPECT_EQ(SpeedSession::lastDecision(f.store), std::nullopt);
}

}  // namespace
}  // namespace kelvane
