#include "core/support/json_fields.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

template <class T>
std::optional<T> read(const char* text) {
  try {
    return Fields::value<T>(nlohmann::json::parse(text));
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

TEST(JsonFields, IntegersMustBeWholeAndFitTheirWidth) {
  EXPECT_EQ(read<int32_t>("-2147483648"), INT32_MIN);
  EXPECT_EQ(read<int32_t>("7.0"), 7);  // a whole number written as a float
  EXPECT_EQ(read<uint64_t>("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(read<uint16_t>("65535"), 65535);
  const char* int32Failures[] = {"2147483648", "-2147483649", "7.5",  "true",
                                 "\"7\"",      "null",        "1e300"};
  for (const char* text : int32Failures) EXPECT_EQ(read<int32_t>(text), std::nullopt) << text;
  EXPECT_EQ(read<uint32_t>("-1"), std::nullopt);
  EXPECT_EQ(read<uint16_t>("65536"), std::nullopt);
  EXPECT_EQ(read<int64_t>("9223372036854775808"), std::nullopt);
  EXPECT_EQ(read<int64_t>("9.3e18"), std::nullopt);
  EXPECT_EQ(read<uint64_t>("-0.5"), std::nullopt);
}

TEST(JsonFields, NumbersTextAndBooleansDoNotMix) {
  EXPECT_EQ(read<double>("3"), 3.0);
  EXPECT_EQ(read<double>("true"), std::nullopt);
  EXPECT_EQ(read<double>("\"3\""), std::nullopt);
  EXPECT_EQ(read<bool>("1"), std::nullopt);
  EXPECT_EQ(read<std::string>("1"), std::nullopt);
  EXPECT_EQ(read<std::vector<uint16_t>>("[80, 70000]"), std::nullopt);
  EXPECT_EQ(read<std::vector<uint16_t>>("{}"), std::nullopt);
}

TEST(JsonFields, MapKeysAreDecimalIDs) {
  using Spaces = std::map<uint32_t, std::vector<int64_t>>;
  EXPECT_EQ(read<Spaces>(R"({"7":[1,2],"4294967295":[]})"),
            (Spaces{{7, {1, 2}}, {4294967295u, {}}}));
  const char* badKeys[] = {"", "+7", "-7", " 7", "7 ", "7a", "0x7", "4294967296", "seven"};
  for (const char* key : badKeys) {
    const auto j = nlohmann::json{{key, nlohmann::json::array()}};
    EXPECT_THROW(Fields::value<Spaces>(j), nlohmann::json::exception) << '"' << key << '"';
  }
  EXPECT_EQ(read<Spaces>("[[7,[1]]]"), std::nullopt);  // the pair-list form is not accepted
  EXPECT_EQ(Fields::keyed(Spaces{{10, {3}}, {9, {}}}).dump(), R"({"10":[3],"9":[]})");
}

TEST(JsonFields, OptionalReadsNullAsAbsentButRejectsWrongTypes) {
  const auto j = nlohmann::json::parse(R"({"n":null,"v":5,"w":"x"})");
  EXPECT_EQ(Fields::optional<int32_t>(j, "n"), std::nullopt);
  EXPECT_EQ(Fields::optional<int32_t>(j, "missing"), std::nullopt);
  EXPECT_EQ(Fields::optional<int32_t>(j, "v"), 5);
  EXPECT_THROW(Fields::optional<int32_t>(j, "w"), nlohmann::json::exception);
  EXPECT_THROW(Fields::required<int32_t>(j, "missing"), nlohmann::json::exception);
  EXPECT_THROW(Fields::required<int32_t>(nlohmann::json::array(), "v"), nlohmann::json::exception);
}

}  // namespace
}  // namespace kelvane
