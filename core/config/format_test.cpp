#include "core/config/format.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(FormatBytes, MemoryStyleAtEachUnitBoundary) {
  // Whole kilobytes with halves up; 1023.999 KB rounds up into the next unit;
  // a trailing zero is dropped; the largest count reads as the largest signed one.
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "Zero KB"},
      {1, "1 byte"},
      {2, "2 bytes"},
      {1023, "1023 bytes"},
      {1024, "1 KB"},
      {1536, "2 KB"},
      {1048575, "1 MB"},
      {1572864, "1.5 MB"},
      {1073741823, "1 GB"},
      {1288490189, "1.2 GB"},
      {1331439862, "1.24 GB"},
      {1099511627776, "1 TB"},
      {std::numeric_limits<uint64_t>::max(), "8 EB"},
  };
  for (const auto& [count, text] : cases) EXPECT_EQ(Format::bytes(count), text) << count;
}

TEST(FormatBytes, FileStyleAtEachUnitBoundary) {
  // Halves go away from zero: 1.25 MB is "1.3 MB".
  const std::pair<int64_t, const char*> cases[] = {
      {-5, "Zero KB"},         {999, "999 bytes"},
      {1000, "1 KB"},          {999499, "999 KB"},
      {999500, "1 MB"},        {1250000, "1.3 MB"},
      {1234567890, "1.23 GB"}, {std::numeric_limits<int64_t>::max(), "9.22 EB"},
  };
  for (const auto& [count, text] : cases) EXPECT_EQ(Format::fileBytes(count), text) << count;
}

TEST(FormatBytes, ThreeSignificantDigitsAtEachBoundary) {
  // Trailing zeros stay, so that a column of sizes reads alike; a count that rounds up
  // to 1000 of a unit moves on to the next.
  const std::pair<int64_t, const char*> cases[] = {
      {-5, "0 bytes"},
      {1, "1 byte"},
      {999, "999 bytes"},
      {1000, "1.00 KB"},
      {1234, "1.23 KB"},
      {9994, "9.99 KB"},
      {9995, "10.0 KB"},
      {99949, "99.9 KB"},
      {99950, "100 KB"},
      {999499, "999 KB"},
      {999500, "1.00 MB"},
      {123456789, "123 MB"},
      {1500000000000, "1.50 TB"},
      {std::numeric_limits<int64_t>::max(), "9.22 EB"},
  };
  for (const auto& [count, text] : cases) EXPECT_EQ(Format::fileSize(count), text) << count;
}

TEST(FormatNumbers, RatesSpeedsLatenciesAndDurations) {
  // A rate rounds to whole bytes first. Mbps and ms keep one decimal below ten,
  // decided on the rounded value (9.96 is "10"; 9.96 Mbps is below ten before
  // rounding). Durations truncate and are capped at 1e12 seconds.
  // Each value in the first list reads as the text at the same place in the second.
  const auto check = [](std::string (*format)(double), std::vector<double> values,
                        std::vector<std::string> texts) {
    ASSERT_EQ(values.size(), texts.size());
    for (size_t i = 0; i < values.size(); ++i) EXPECT_EQ(format(values[i]), texts[i]) << values[i];
  };
  check(Format::rate, {0.4, NAN, 0.5, 1500, 2.5e6, 1e30},
        {"0 KB/s", "0 KB/s", "1 byte/s", "2 KB/s", "2.5 MB/s", "9.22 EB/s"});
  check(Format::mbps, {2.5e6, 10.4e6, 10.5e6, 9.96e6, 0, -1, NAN, INFINITY},
        {"2.5", "10", "11", "10.0", "0", "0", "0", "0"});
  check(Format::ms, {9.96, 9.94, 123.5, -4, NAN, INFINITY},
        {"10", "9.9", "124", "0.0", "0.0", "0.0"});
  check(Format::duration, {59.9, 60, 3599, 3600, 90061, -5, -INFINITY, 1e13},
        {"59s", "1m", "59m", "1h 00m", "25h 01m", "0s", "0s", "277777777h 46m"});
}

}  // namespace
}  // namespace kelvane
