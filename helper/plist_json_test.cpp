#include "helper/plist_json.h"

#include <cmath>
#include <limits>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

using nlohmann::json;

TEST(PlistJson, RoundTripsEveryKind) {
  const PlistValue value = PlistDict{
      {"bool", false},
      {"int", int64_t{-42}},
      {"max", std::numeric_limits<int64_t>::max()},
      {"realWhole", 1.0},
      {"real", -0.125},
      {"inf", std::numeric_limits<double>::infinity()},
      {"text", "\xe2\x98\x95 caf\xc3\xa9"},
      {"data", PlistData{0, 255, 10}},
      {"date", PlistDate{-3.5}},
      {"uid", PlistUid{12}},
      {"list", PlistArray{1, "two", PlistArray{}, PlistDict{}}},
  };
  const json j = plistToJson(value);
  EXPECT_EQ(plistFromJson(json::parse(j.dump())), value);
  EXPECT_EQ(j["data"], json({{"$data", "AP8K"}}));
  EXPECT_EQ(j["date"], json({{"$date", -3.5}}));
  EXPECT_EQ(j["uid"], json({{"$uid", 12}}));
  EXPECT_EQ(j["inf"], json({{"$real", "inf"}}));
  EXPECT_EQ(j.dump().find("\"realWhole\":1.0") != std::string::npos, true);  // stays a real
  const auto nan = plistFromJson(json{{"$real", "nan"}});
  ASSERT_TRUE(nan && nan->get<double>());
  EXPECT_TRUE(std::isnan(*nan->get<double>()));
}

TEST(PlistJson, RefusesWhatAConfigurationCannotCarry) {
  for (const char* text : {"null", "[1, null]", "{\"a\": {\"b\": null}}", "18446744073709551615",
                           "{\"$data\": \"not base64\"}", "{\"$real\": \"maybe\"}"})
    EXPECT_EQ(plistFromJson(json::parse(text)), std::nullopt) << text;
  json deep = 1;
  for (int i = 0; i < 300; ++i) deep = json::array({deep});
  EXPECT_EQ(plistFromJson(deep), std::nullopt);
}

TEST(PlistJson, OneKeyObjectsOfOtherShapesStayDictionaries) {
  for (const char* text : {R"({"$uid": -1})", R"({"$date": "today"})", R"({"$data": 5})",
                           R"({"$data": "AA==", "more": 1})"}) {
    const auto j = json::parse(text);
    const auto value = plistFromJson(j);
    ASSERT_TRUE(value && value->get<PlistDict>()) << text;
    EXPECT_EQ(plistToJson(*value), j) << text;
  }
}

}  // namespace
}  // namespace kelvane
