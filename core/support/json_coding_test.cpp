#include "core/support/json_coding.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(JsonCoding, EncodesCompactSortedAndSurvivesBadUtf8) {
  nlohmann::json j = {{"b", 1}, {"a", {{"z", true}, {"y", nullptr}}}};
  EXPECT_EQ(encodeJson(j), R"({"a":{"y":null,"z":true},"b":1})");
  EXPECT_EQ(encodeJson(nlohmann::json(std::string("x\xff"))), "\"x\xEF\xBF\xBD\"");
}

TEST(JsonCoding, OptionalFieldsAreOmittedAndDecodingIsFenced) {
  nlohmann::json j = nlohmann::json::object();
  putOptional(j, "absent", std::optional<int>());
  putOptional(j, "present", std::optional<int>(3));
  EXPECT_EQ(j.dump(), R"({"present":3})");
  EXPECT_EQ(decodeJson<int>("not json"), std::nullopt);
  EXPECT_EQ(decodeJson<int>("\"text\""), std::nullopt);
  EXPECT_EQ(decodeJson<int>("42"), 42);
}

TEST(JsonCoding, LenientReadersNeverThrow) {
  const auto j = nlohmann::json::parse(
      R"({"flag":"yes","n":15.0,"big":1e300,"huge":18446744073709551615,"list":["a",3,null,"b"],"notList":{}})");
  bool issue = false;
  EXPECT_EQ(Lenient::read<bool>(j, "flag", true, issue), true);
  EXPECT_TRUE(issue);
  issue = false;
  EXPECT_EQ(Lenient::read<int64_t>(j, "n", 0, issue), 15);
  EXPECT_EQ(Lenient::read<int64_t>(j, "missing", 7, issue), 7);
  EXPECT_EQ(Lenient::read<int64_t>(j, "huge", 0, issue), INT64_MAX);
  EXPECT_FALSE(issue);
  EXPECT_EQ(Lenient::read<int64_t>(j, "big", 9, issue), 9);
  EXPECT_TRUE(issue);
}

}  // namespace
}  // namespace kelvane
