#include "core/speed/speed_budget.h"

#include <limits>

#include <gtest/gtest.h>

#include "core/support/json_coding.h"

namespace kelvane {
namespace {

Calendar tokyo() { return *Calendar::named("Asia/Tokyo"); }

TEST(SpeedBudgetMonth, LocalMonthOfTheCalendar) {
  // 2025-03-31T20:00:00Z is already April in Tokyo.
  const Date lateMarch = *Date::fromISO8601("2025-03-31T20:00:00Z");
  EXPECT_EQ(SpeedBudget::monthOf(lateMarch, Calendar::utc()), "2025-03");
  EXPECT_EQ(SpeedBudget::monthOf(lateMarch, tokyo()), "2025-04");
  EXPECT_EQ(SpeedBudget::monthOf(Date(0), Calendar::utc()), "2001-01");
}

TEST(SpeedBudgetAdding, RollsOverAtTheMonth) {
  const auto cal = Calendar::utc();
  const Date march = *Date::fromISO8601("2025-03-20T10:00:00Z");
  const Date april = *Date::fromISO8601("2025-04-01T00:00:00Z");
  const SpeedBudget old{.month = "2025-03", .bytes = 700, .lastAuto = march};
  EXPECT_EQ(old.used(march, cal), 700);
  EXPECT_EQ(old.used(april, cal), 0);  // a new month reads as nothing used
  EXPECT_EQ(old.adding(50, march + 60, false, cal),
            (SpeedBudget{.month = "2025-03", .bytes = 750, .lastAuto = march}));
  EXPECT_EQ(old.adding(50, april, true, cal),
            (SpeedBudget{.month = "2025-04", .bytes = 50, .lastAuto = april}));
  // A first test ever, manual: counted, and still no automatic test on record.
  EXPECT_EQ(SpeedBudget{}.adding(10, march, false, cal),
            (SpeedBudget{.month = "2025-03", .bytes = 10}));
}

TEST(SpeedBudgetAdding, NegativeAndHugeCounts) {
  const auto cal = Calendar::utc();
  const Date march = *Date::fromISO8601("2025-03-20T10:00:00Z");
  const SpeedBudget old{.month = "2025-03", .bytes = 700};
  EXPECT_EQ(old.adding(-500, march, false, cal).bytes, 700);
  const int64_t max = std::numeric_limits<int64_t>::max();
  EXPECT_EQ(old.adding(max, march, false, cal).bytes, max);
  EXPECT_EQ(old.adding(max - 700, march, false, cal).bytes, max);
}

TEST(SpeedBudgetCoding, FileShape) {
  const SpeedBudget budget{
      .month = "2025-03", .bytes = 42, .lastAuto = *Date::fromISO8601("2025-03-02T08:00:00Z")};
  EXPECT_EQ(encodeValue(budget),
            R"({"bytes":42,"lastAuto":"2025-03-02T08:00:00Z","month":"2025-03"})");
  EXPECT_EQ(decodeJson<SpeedBudget>(*encodeValue(budget)), budget);
  EXPECT_EQ(decodeJson<SpeedBudget>(R"({"month":"2025-03","bytes":42})"),
            (SpeedBudget{.month = "2025-03", .bytes = 42}));
  EXPECT_EQ(decodeJson<SpeedBudget>(R"({"month":"2025-03"})"), std::nullopt);
  EXPECT_EQ(decodeJson<SpeedBudget>(R"({"month":"2025-03","bytes":1.5})"), std::nullopt);
  EXPECT_EQ(decodeJson<SpeedBudget>(R"({"month":"2025-03","bytes":1,"lastAuto":"soon"})"),
            std::nullopt);
}

}  // namespace
}  // namespace kelvane
