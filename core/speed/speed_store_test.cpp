#include "core/speed/speed_store.h"

#include <fstream>

#include <gtest/gtest.h>

#include "core/speed/speed_run.h"
#include "core/support/testing/temp_dir.h"

namespace kelvane {
namespace {

const Date kNow = *Date::fromISO8601("2025-03-12T12:00:00Z");

SpeedResult result(Date at, double down = 80e6) {
  return {at, down, 20e6, 12.5, 40, 150'000'000, "en0", true};
}

TEST(SpeedStore, ResultsOfTheLastDayInFileOrder) {
  TempDir tmp;
  const Store store(tmp.path());
  ASSERT_TRUE(
      store.appendLines(std::vector<SpeedResult>{result(kNow - 86'400, 1), result(kNow - 86'399, 2),
                                                 result(kNow + 30, 3)},
                        SpeedTest::file));
  std::ofstream(store.path(SpeedTest::file), std::ios::app) << "{\"at\":\"2025-03-12T1\n[]\n";
  std::vector<double> downs;
  for (const auto& r : speedResults(store, kNow)) downs.push_back(r.down);
  EXPECT_EQ(downs, (std::vector<double>{2, 3}));  // exactly a day old is gone
}

TEST(SpeedStore, AppendKeepsOneDay) {
  TempDir tmp;
  const Store store(tmp.path());
  ASSERT_TRUE(appendSpeed(store, result(kNow - 90'000, 1), kNow - 90'000));
  ASSERT_TRUE(appendSpeed(store, result(kNow - 3'600, 2), kNow - 3'600));
  std::ofstream(store.path(SpeedTest::file), std::ios::app) << "garbage";  // no line feed
  ASSERT_TRUE(appendSpeed(store, result(kNow - 60, 3), kNow));
  EXPECT_EQ(store.lines<SpeedResult>(SpeedTest::file),
            (std::vector<SpeedResult>{result(kNow - 3'600, 2), result(kNow - 60, 3)}));
  std::ifstream in(store.path(SpeedTest::file), std::ios::binary);
  const std::string text{std::istreambuf_iterator<char>(in), {}};
  EXPECT_EQ(text.find("garbage"), std::string::npos);  // the rewrite dropped it
  EXPECT_TRUE(
      text.starts_with(R"({"at":"2025-03-12T11:00:00Z","auto":true,"bytes":150000000,)"
                       R"("down":2.0,"interface":"en0","latency":12.5,"loadedLatency":40.0,)"
                       R"("up":20000000.0})"
                       "\n"));
}

TEST(SpeedStore, FailedAppendDoesNotRewrite) {
  TempDir tmp;
  const Store store(tmp.path());
  // The log is a link to a file that reads but takes no writes. A rewrite
  // would replace the link by a fresh (empty) file.
  std::filesystem::create_symlink("/proc/version", store.path(SpeedTest::file));
  EXPECT_FALSE(appendSpeed(store, result(kNow), kNow));
  EXPECT_TRUE(std::filesystem::is_symlink(store.path(SpeedTest::file)));
}

}  // namespace
}  // namespace kelvane
