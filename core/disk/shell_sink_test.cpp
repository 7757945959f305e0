#include "core/disk/shell_sink.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

const std::string kFFFD = "\xEF\xBF\xBD";

TEST(ShellSink, TrimsToTheLastMillionBytesOnlyWhenReachingTheLimit) {
  ShellSink sink;
  sink.append(std::string(1'999'999, 'a'));
  sink.append("b");
  EXPECT_EQ(sink.size(), 2'000'000u);  // one byte short of the limit: nothing dropped
  sink.append("c");
  ASSERT_EQ(sink.size(), 1'000'000u);
  const std::string text = sink.text();
  EXPECT_EQ(text.substr(text.size() - 2), "bc");
  EXPECT_EQ(text.find_first_not_of('a'), 999'998u);

  // A single chunk past the limit is cut at once.
  ShellSink big;
  big.append(std::string(2'500'000, 'x') + "end");
  EXPECT_EQ(big.size(), 1'000'000u);
  EXPECT_EQ(big.text().substr(999'997), "end");
}

TEST(ShellSink, TextGivesTheLastMillionBytesOfAnUntrimmedBuffer) {
  ShellSink sink;
  sink.append("head");
  sink.append(std::string(1'500'000, 'z'));
  EXPECT_EQ(sink.size(), 1'500'004u);
  EXPECT_EQ(sink.text(), std::string(1'000'000, 'z'));

  // A cut through a two-byte character leaves its second byte, which reads as U+FFFD.
  ShellSink cut;
  cut.append("\xC3\xA9" + std::string(999'999, 'q'));
  EXPECT_EQ(cut.text(), kFFFD + std::string(999'999, 'q'));
}

TEST(DecodeUtf8Lossy, ReplacesEachMaximalInvalidSubpart) {
  const struct {
    std::string in;
    std::string out;
  } cases[] = {
      {"plain ascii\n", "plain ascii\n"},
      {"\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80",
       "\xC3\xA9t\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"a\xFF"
       "b",
       "a" + kFFFD + "b"},          // a byte that starts nothing
      {"\x80\x80", kFFFD + kFFFD},  // stray continuation bytes
      {"\xC3(", kFFFD + "("},       // cut two-byte sequence
      {"x\xE2\x82", "x" + kFFFD},   // cut at the end: one U+FFFD
      {"\xF0\x9F\x98"
       "!",
       kFFFD + "!"},                                        // cut four-byte sequence
      {"\xC0\xAF", kFFFD + kFFFD},                          // overlong "/"
      {"\xE0\x80\xAF", kFFFD + kFFFD + kFFFD},              // overlong three-byte form
      {"\xED\xA0\x80", kFFFD + kFFFD + kFFFD},              // a surrogate
      {"\xF4\x90\x80\x80", kFFFD + kFFFD + kFFFD + kFFFD},  // above U+10FFFF
      {"\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},             // U+10FFFF itself
      {std::string("a\0b", 3), std::string("a\0b", 3)},
  };
  for (const auto& c : cases) EXPECT_EQ(decodeUtf8Lossy(c.in), c.out) << c.in;
}

}  // namespace
}  // namespace kelvane
