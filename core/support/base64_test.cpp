#include "core/support/base64.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(Base64, RoundTripsEveryPaddingLength) {
  EXPECT_EQ(Base64::encode(""), "");
  EXPECT_EQ(Base64::encode("f"), "Zg==");
  EXPECT_EQ(Base64::encode("fo"), "Zm8=");
  EXPECT_EQ(Base64::encode("foo"), "Zm9v");
  EXPECT_EQ(Base64::encode("foobar"), "Zm9vYmFy");
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = uint8_t(i);
  EXPECT_EQ(Base64::decode(Base64::encode(all)), all);
  EXPECT_EQ(Base64::decode("Zm8="), bytes("fo"));
  EXPECT_EQ(Base64::decode(""), bytes(""));
}

TEST(Base64, RejectsWhatIsNotStandardBase64) {
  for (const char* bad : {"Zm8", "Zm9v!A==", "Z===", "Zg=a", "Zm-v", "Zm_v", "Zm9v\n", "a", "aGk",
                          "aG=k", "A===", "====", "aGk==", "aGk=aGk=", "aG k"})
    EXPECT_EQ(Base64::decode(bad), std::nullopt) << bad;
  // Bits below the last whole byte are ignored.
  EXPECT_EQ(Base64::decode("AB=="), (std::vector<uint8_t>{0x00}));
  EXPECT_EQ(Base64::decode("ABC="), (std::vector<uint8_t>{0x00, 0x10}));
  EXPECT_EQ(Base64::decode("+/+/"), (std::vector<uint8_t>{0xFB, 0xFF, 0xBF}));
}

// Longer texts go through the wide loops: every length up to 160 symbols, the
// whole alphabet, and a bad symbol (next to the alphabet, padding, a high
// byte) at every place.
TEST(Base64, DecodesEveryLengthAndRefusesABadSymbolAnywhere) {
  std::vector<uint8_t> data;
  for (int n = 0; n < 120; ++n) {
    const std::string text = Base64::encode(data);
    EXPECT_EQ(Base64::decode(text), data) << text;
    for (size_t at = 0; at < text.size(); ++at) {
      std::string broken = text;
      broken[at] = "*=\xff@[`{:.,"[at % 10];
      // Only "=" in place of the last symbol, or of the one before a last "=",
      // is still padding; anything else anywhere is refused.
      const bool padding = broken[at] == '=' &&
                           (at + 1 == text.size() || (at + 2 == text.size() && text.back() == '='));
      const auto decoded = Base64::decode(broken);
      EXPECT_EQ(decoded.has_value(), padding) << broken;
      if (padding && decoded) {
        const size_t pads = broken.ends_with("==") ? 2 : 1;
        EXPECT_EQ(decoded->size(), text.size() / 4 * 3 - pads) << broken;
      }
    }
    data.push_back(uint8_t(n * 37 + 11));
    if (n == 70) {  // From here on the texts hold the whole alphabet.
      const auto alphabet =
          Base64::decode("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/");
      data.insert(data.end(), alphabet->begin(), alphabet->end());
    }
  }
}

}  // namespace
}  // namespace kelvane
