#include "core/support/text.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(Text, TrimsUnicodeBlanksOnly) {
  EXPECT_EQ(Text::trimmed(" \t\n a b \r\n"), "a b");
  EXPECT_EQ(Text::trimmed("\xC2\xA0x\xE2\x80\xA8"), "x");  // no-break space, line separator
  EXPECT_EQ(Text::trimmed("   "), "");
  EXPECT_EQ(Text::trimmed("\xFF "), "\xFF");  // an invalid byte is kept
}

TEST(Text, LowerCasesEveryScript) {
  EXPECT_EQ(Text::lowercased("/Users/ÅSA/ΣΧΈΔΙΑ/Проекты"), "/users/åsa/σχέδια/проекты");
  EXPECT_EQ(Text::lowercased("ABOUT:BLANK"), "about:blank");
  EXPECT_EQ(Text::lowercased("a\xFF"), "a\xEF\xBF\xBD");
  EXPECT_EQ(Text::asciiLowercased("Content-TYPE Å"), "content-type Å");
}

TEST(Text, ComparesIgnoringOnlyASCIICase) {
  EXPECT_TRUE(Text::equalsIgnoringASCIICase("Upgrade", "uPGRADE"));
  EXPECT_TRUE(Text::equalsIgnoringASCIICase("", ""));
  EXPECT_FALSE(Text::equalsIgnoringASCIICase("host", "hosts"));  // a prefix is not equal
  EXPECT_FALSE(Text::equalsIgnoringASCIICase("Å", "å"));         // only ASCII letters fold
  EXPECT_FALSE(Text::equalsIgnoringASCIICase("[", "{"));  // 0x5B and 0x7B differ by the case bit
}

TEST(Text, ReplacesInvalidUtf8) {
  EXPECT_TRUE(Text::isValidUtf8("plain ✓"));
  EXPECT_FALSE(Text::isValidUtf8("\xC3"));
  EXPECT_FALSE(Text::isValidUtf8("\xED\xA0\x80"));  // a UTF-16 surrogate
  EXPECT_EQ(Text::validUtf8("a\xC3(b\xFF"), "a\xEF\xBF\xBD(b\xEF\xBF\xBD");
  EXPECT_EQ(Text::validUtf8("✓"), "✓");
}

TEST(Text, SplitKeepsEmptyFields) {
  using V = std::vector<std::string_view>;
  EXPECT_EQ(Text::split("a,,b,", ','), (V{"a", "", "b", ""}));
  EXPECT_EQ(Text::split("", ','), (V{""}));
  EXPECT_EQ(Text::split("abc", ','), (V{"abc"}));
}

}  // namespace
}  // namespace kelvane
