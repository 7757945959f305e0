#include "core/speed/speed_budget.h"

#include <limits>

#include <gtest/gtest.h>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

const Calendar kUtc = Calendar::utc();
const Date kMarch = *Date::fromISO8601("2025-03-31T20:00:00Z");
const Date kApril = *Date::fromISO8601("2025-04-01T00:00:00Z");

TEST(SpeedBudget, AddingRollsOverAtTheCalendarsMonth) {
  EXPECT_EQ(SpeedBudget::monthOf(kMarch, kUtc), "2025-03");
  EXPECT_EQ(SpeedBudget::monthOf(kMarch, *Calendar::named("Asia/Tokyo")), "2025-04");
  const SpeedBudget old{.month = "2025-03", .bytes = 700, .lastAuto = kMarch};
  EXPECT_EQ(old.used(kMarch, kUtc), 700);
  EXPECT_EQ(old.used(kApril, kUtc), 0);
  // A manual test counts but leaves lastAuto alone; an automatic one moves it.
  EXPECT_EQ(old.adding(50, kMarch + 60, false, kUtc),
            (SpeedBudget{.month = "2025-03", .bytes = 750, .lastAuto = kMarch}));
  EXPECT_EQ(old.adding(50, kApril, true, kUtc),
            (SpeedBudget{.month = "2025-04", .bytes = 50, .lastAuto = kApril}));
  EXPECT_EQ(old.adding(-500, kMarch, false, kUtc).bytes, 700);
  const int64_t max = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(old.adding(max - 699, kMarch, false, kUtc).bytes, max);  // stops, never wraps
}

TEST(SpeedBudget, FileShape) {
  const SpeedBudget budget{.month = "2025-03", .bytes = 42, .lastAuto = kMarch};
  EXPECT_EQ(encodeValue(budget),
            R"({"bytes":42,"lastAuto":"2025-03-31T20:00:00Z","month":"2025-03"})");
  EXPECT_EQ(decodeJson<SpeedBudget>(*encodeValue(budget)), budget);
  EXPECT_EQ(decodeJson<SpeedBudget>(R"({"month":"2025-03","bytes":42})"),
            (SpeedBudget{.month = "2025-03", .bytes = 42}));
  EXPECT_EQ(decodeJson<SpeedBudget>(R"({"month":"2025-03"})"), std::nullopt);
  EXPECT_EQ(decodeJson<SpeedBudget>(R"({"month":"2025-03","bytes":1.5})"), std::nullopt);
}

}  // namespace
}  // namespace kelvane
