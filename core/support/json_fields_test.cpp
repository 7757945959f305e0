#include "core/support/json_fields.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

template <class T>
std::optional<T> read(const nlohmann::json& j) {
  try {
    return Fields::value<T>(j);
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

TEST(JsonFields, IntegersMustBeWholeAndFitTheirWidth) {
  EXPECT_EQ(read<int32_t>(7.0), 7);  // a whole number written as a float
  EXPECT_EQ(read<int32_t>(INT32_MIN), INT32_MIN);
  EXPECT_EQ(read<uint64_t>(UINT64_MAX), UINT64_MAX);
  for (const auto& j : nlohmann::json::parse(R"([2147483648, -2147483649, 7.5, 1e300, true, "7"])"))
    EXPECT_EQ(read<int32_t>(j), std::nullopt) << j;
  EXPECT_EQ(read<uint32_t>(-1), std::nullopt);
  EXPECT_EQ(read<int64_t>(9.3e18), std::nullopt);
  EXPECT_EQ(read<double>(true), std::nullopt);  // the library itself would take it as 1.0
  EXPECT_EQ(read<bool>(1), std::nullopt);
}

TEST(JsonFields, OptionalIsAbsentWhenMissingOrNullAndFailsWhenMistyped) {
  const nlohmann::json j = {{"present", 3}, {"null", nullptr}, {"text", "x"}, {"half", 1.5}};
  EXPECT_EQ(Fields::optional<int>(j, "present"), 3);
  EXPECT_EQ(Fields::optional<int>(j, "absent"), std::nullopt);
  EXPECT_EQ(Fields::optional<int>(j, "null"), std::nullopt);
  EXPECT_THROW(Fields::optional<int>(j, "text"), nlohmann::json::exception);
  EXPECT_THROW(Fields::optional<int>(j, "half"), nlohmann::json::exception);
  EXPECT_THROW(Fields::required<int>(j, "absent"), nlohmann::json::exception);
}

TEST(JsonFields, MapKeysAreDecimalIDs) {
  using Spaces = std::map<uint32_t, std::vector<int64_t>>;
  EXPECT_EQ(read<Spaces>(nlohmann::json::parse(R"({"7":[1,2],"4294967295":[]})")),
            (Spaces{{7, {1, 2}}, {4294967295u, {}}}));
  for (const char* key : {"", "+7", "-7", " 7", "7 ", "7a", "0x7", "4294967296", "seven"})
    EXPECT_EQ(read<Spaces>({{key, nlohmann::json::array()}}), std::nullopt) << '"' << key << '"';
  EXPECT_EQ(read<Spaces>(nlohmann::json::parse("[[7,[1]]]")), std::nullopt);  // no pair lists
  EXPECT_EQ(Fields::keyed(Spaces{{10, {3}}, {9, {}}}).dump(), R"({"10":[3],"9":[]})");
}

}  // namespace
}  // namespace kelvane
