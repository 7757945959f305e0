#include "core/support/date.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kelvane {
namespace {

TEST(Date, CodesWholeSecondsInUtc) {
  // 2026-03-01T12:00:00Z is 1772366400 seconds after 1970.
  const Date d = Date::fromUnix(1772366400.0);
  EXPECT_EQ(d.iso8601(), "2026-03-01T12:00:00Z");
  EXPECT_EQ((d + 0.999).iso8601(), "2026-03-01T12:00:00Z");  // truncated, not rounded
  EXPECT_EQ((d - 0.5).iso8601(), "2026-03-01T11:59:59Z");    // toward the past
  EXPECT_EQ(Date(0).iso8601(), "2001-01-01T00:00:00Z");
  EXPECT_EQ(Date::distantFuture().iso8601(), "4001-01-01T00:00:00Z");
  // Year 1 of the Julian calendar, which is 30 December of year 0 in the proleptic Gregorian one.
  EXPECT_EQ(Date::distantPast().iso8601(), "0000-12-30T00:00:00Z");
  EXPECT_EQ(Date::fromISO8601(Date::distantPast().iso8601()), Date::distantPast());
  EXPECT_EQ(nlohmann::json(d).dump(), "\"2026-03-01T12:00:00Z\"");
}

TEST(Date, ReadsIsoTextWithFractionsAndOffsets) {
  const Date d = Date::fromUnix(1772366400.0);
  EXPECT_EQ(Date::fromISO8601("2026-03-01T12:00:00Z"), d);
  EXPECT_EQ(Date::fromISO8601("2026-03-01T12:00:00.250Z"), d + 0.25);
  EXPECT_EQ(Date::fromISO8601("2026-03-01T13:30:00+01:30"), d);
  EXPECT_EQ(Date::fromISO8601("2026-03-01T07:00:00-05:00"), d);
  EXPECT_EQ(Date::fromISO8601("4001-01-01T00:00:00Z"), Date::distantFuture());
  for (const char* bad :
       {"", "2026-03-01", "2026-03-01T12:00:00", "2026-02-30T12:00:00Z", "2026-03-01T24:00:00Z",
        "2026-03-01T12:00:00Zjunk", "2026-3-1T1:0:0Z", "2026-03-01T12:00:00.Z"})
    EXPECT_EQ(Date::fromISO8601(bad), std::nullopt) << bad;
}

TEST(Date, JsonRejectsNonText) {
  EXPECT_THROW(nlohmann::json(12).get<Date>(), nlohmann::json::exception);
  EXPECT_THROW(nlohmann::json("yesterday").get<Date>(), nlohmann::json::exception);
}

}  // namespace
}  // namespace kelvane
