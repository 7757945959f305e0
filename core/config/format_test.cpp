#include "core/config/format.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(FormatBytes, MemoryStyleAtEachUnitBoundary) {
  const std::pair<uint64_t, const char*> cases[] = {
      {0, "Zero KB"},
      {1, "1 byte"},
      {2, "2 bytes"},
      {1023, "1023 bytes"},
      {1024, "1 KB"},
      {1536, "2 KB"},     // whole kilobytes, halves up
      {1048575, "1 MB"},  // 1023.999 KB rounds up into the next unit
      {1572864, "1.5 MB"},
      {1073741823, "1 GB"},
      {1288490189, "1.2 GB"},  // trailing zero dropped
      {1331439862, "1.24 GB"},
      {1099511627776, "1 TB"},
      {std::numeric_limits<uint64_t>::max(), "8 EB"},  // read as the largest signed count
  };
  for (const auto& [count, text] : cases) EXPECT_EQ(Format::bytes(count), text) << count;
}

TEST(FormatBytes, FileStyleAtEachUnitBoundary) {
  const std::pair<int64_t, const char*> cases[] = {
      {-5, "Zero KB"},         {999, "999 bytes"},
      {1000, "1 KB"},          {999499, "999 KB"},
      {999500, "1 MB"},        {1250000, "1.3 MB"},  // halves away from zero
      {1234567890, "1.23 GB"}, {std::numeric_limits<int64_t>::max(), "9.22 EB"},
  };
  for (const auto& [count, text] : cases) EXPECT_EQ(Format::fileBytes(count), text) << count;
}

TEST(FormatRate, RoundsToWholeBytesThenFileStyle) {
  EXPECT_EQ(Format::rate(0.4), "0 KB/s");
  EXPECT_EQ(Format::rate(NAN), "0 KB/s");
  EXPECT_EQ(Format::rate(0.5), "1 byte/s");
  EXPECT_EQ(Format::rate(1500), "2 KB/s");
  EXPECT_EQ(Format::rate(2.5e6), "2.5 MB/s");
  EXPECT_EQ(Format::rate(1e30), "9.22 EB/s");
}

TEST(FormatMbps, OneDecimalBelowTenElseWhole) {
  EXPECT_EQ(Format::mbps(2'500'000), "2.5");
  EXPECT_EQ(Format::mbps(10'400'000), "10");
  EXPECT_EQ(Format::mbps(10'500'000), "11");
  EXPECT_EQ(Format::mbps(9'960'000), "10.0");  // below 10 before rounding
  EXPECT_EQ(Format::mbps(0), "0");
  EXPECT_EQ(Format::mbps(-1), "0");
  EXPECT_EQ(Format::mbps(NAN), "0");
  EXPECT_EQ(Format::mbps(INFINITY), "0");
}

TEST(FormatMs, DecidesOnTheRoundedValue) {
  EXPECT_EQ(Format::ms(9.96), "10");  // 10.0 after rounding is not below 10
  EXPECT_EQ(Format::ms(9.94), "9.9");
  EXPECT_EQ(Format::ms(123.5), "124");
  EXPECT_EQ(Format::ms(-4), "0.0");
  EXPECT_EQ(Format::ms(NAN), "0.0");
  EXPECT_EQ(Format::ms(INFINITY), "0.0");
}

TEST(FormatDuration, TruncatesAtEachUnitBoundary) {
  EXPECT_EQ(Format::duration(59.9), "59s");
  EXPECT_EQ(Format::duration(60), "1m");
  EXPECT_EQ(Format::duration(3599), "59m");
  EXPECT_EQ(Format::duration(3600), "1h 00m");
  EXPECT_EQ(Format::duration(90061), "25h 01m");
  EXPECT_EQ(Format::duration(-5), "0s");
  EXPECT_EQ(Format::duration(-INFINITY), "0s");
  EXPECT_EQ(Format::duration(1e13), "277777777h 46m");  // capped at 1e12 seconds
}

}  // namespace
}  // namespace kelvane
