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
  for (const char* bad : {"Zm8", "Zm9v!A==", "Z===", "Zg=a", "Zm-v", "Zm_v", "Zm9v\n"})
    EXPECT_EQ(Base64::decode(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace kelvane
