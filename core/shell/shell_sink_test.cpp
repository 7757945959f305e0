#include "core/shell/shell_sink.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

const std::string kReplacement = "\xEF\xBF\xBD";

TEST(ShellSink, KeepsTheLastMillionBytesOnceTheLimitIsReached) {
  ShellSink sink;
  sink.append(std::string(1'999'999, 'a') + "b");
  EXPECT_EQ(sink.size(), 2'000'000u);  // one byte short of the limit: nothing dropped
  EXPECT_EQ(sink.text(), std::string(999'999, 'a') + "b");
  sink.append("c");
  EXPECT_EQ(sink.size(), 1'000'000u);
  EXPECT_EQ(sink.text(), std::string(999'998, 'a') + "bc");
}

TEST(ShellSinkText, ReplacesEachMaximalInvalidSubpart) {
  const std::pair<std::string, std::string> cases[] = {
      {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
       "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {std::string("a\0b", 3), std::string("a\0b", 3)},
      {"a\xFF\x80"
       "b",
       "a" + kReplacement + kReplacement + "b"},                     // bytes that start nothing
      {"\xC3(", kReplacement + "("},                                 // cut two-byte sequence
      {"x\xF0\x9F\x98", "x" + kReplacement},                         // cut at the end: one U+FFFD
      {"\xC0\xAF", kReplacement + kReplacement},                     // overlong "/"
      {"\xED\xA0\x80", kReplacement + kReplacement + kReplacement},  // a surrogate
      {"\xF4\x90\x80\x80",
       kReplacement + kReplacement + kReplacement + kReplacement},  // above U+10FFFF
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},                     // U+10FFFF itself
  };
  for (const auto& [in, out] : cases) {
    ShellSink sink;
    sink.append(in);
    EXPECT_EQ(sink.text(), out) << in;
  }
}

}  // namespace
}  // namespace kelvane
