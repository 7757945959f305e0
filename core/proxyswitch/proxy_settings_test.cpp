#include "core/proxyswitch/proxy_settings.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

using ProxySettings::applying;

ServiceConfig userConfig() {
  return {{"HTTPEnable", 1},
          {"HTTPProxy", "proxy.corp"},
          {"HTTPPort", 3128},
          {"SOCKSEnable", 1},
          {"ExceptionsList", PlistArray{"*.corp"}}};
}

ServiceConfig pointingAt(const char* host, PlistValue port, int enable = 1) {
  return {{"HTTPEnable", enable},  {"HTTPProxy", host},  {"HTTPPort", port},
          {"HTTPSEnable", enable}, {"HTTPSProxy", host}, {"HTTPSPort", port}};
}

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(ProxySettingsCoding, RoundTripsEveryKindOfValueAndRefusesOtherShapes) {
  const SettingsSet settings = {{"wifi",
                                 {{"bool", true},
                                  {"negative", int64_t{-5}},
                                  {"real", 2.5},
                                  {"text", "caf\xc3\xa9"},
                                  {"data", PlistData{0, 254}},
                                  {"date", PlistDate{794'000'000.25}},
                                  {"uid", PlistUid{7}},
                                  {"list", PlistArray{"a", 1, PlistDict{{"k", false}}}}}},
                                {"ethernet", {}}};
  const auto encoded = ProxySettings::encode(settings);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(std::string(encoded->begin(), encoded->begin() + 8), "bplist00");
  EXPECT_EQ(ProxySettings::decode(*encoded), settings);

  const std::string xml = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
  for (const auto& bad :
       {bytes(""), bytes("bplist00garbage"), bytes(xml + "<array><dict/></array></plist>"),
        bytes(xml + "<dict><key>wifi</key><string>x</string></dict></plist>")})
    EXPECT_EQ(ProxySettings::decode(bad), std::nullopt);
  // Text the format's C interface would cut short is refused, not shortened.
  EXPECT_EQ(ProxySettings::encode({{"w", {{"HTTPProxy", std::string("a\0b", 3)}}}}), std::nullopt);
}

TEST(ProxySettingsDisablingLoopback, TurnsOffOnlyOurRange) {
  const std::tuple<const char*, PlistValue, int> cases[] = {
      {"127.0.0.1", 9091, 0}, {"127.0.0.1", 9111, 0}, {"127.0.0.1", 9112, 1},
      {"127.0.0.1", 9090, 1}, {"localhost", 9100, 1}, {"127.0.0.1", "9100", 1}};
  for (const auto& [host, port, enable] : cases)
    EXPECT_EQ(ProxySettings::disablingLoopback(pointingAt(host, port)),
              pointingAt(host, port, enable))
        << host;
}

TEST(ProxySettingsApplying, KeepsOtherKeysAndReplacesTheExceptionList) {
  auto expected = userConfig();
  for (const auto& [key, value] : pointingAt("127.0.0.1", 9099)) expected[key] = value;
  expected["ExceptionsList"] = PlistArray{"localhost", "127.0.0.1", "*.local", "169.254/16"};
  EXPECT_EQ(applying(userConfig(), "127.0.0.1", 9099), expected);
}

TEST(ProxySettingsSets, MergingKeepsSavedAndRestoringFollowsTheCurrentServices) {
  const SettingsSet saved = {{"wifi", userConfig()}, {"gone", userConfig()}};
  const SettingsSet current = {{"wifi", pointingAt("127.0.0.1", 9091)},
                               {"new", pointingAt("127.0.0.1", 9091)}};
  EXPECT_EQ(
      ProxySettings::merging(saved, current),
      (SettingsSet{
          {"wifi", userConfig()}, {"gone", userConfig()}, {"new", pointingAt("127.0.0.1", 9091)}}));
  EXPECT_EQ(ProxySettings::restoring(saved, current),
            (SettingsSet{{"wifi", userConfig()}, {"new", pointingAt("127.0.0.1", 9091, 0)}}));
}

TEST(ProxySettingsIsOurs, NeedsBothSidesOnAndPointingAtUs) {
  EXPECT_TRUE(ProxySettings::isOurs(applying(userConfig(), "127.0.0.1", 9091), "127.0.0.1", 9091));
  const std::pair<const char*, PlistValue> spoilers[] = {
      {"HTTPSProxy", "10.0.0.1"}, {"HTTPSPort", 9092}, {"HTTPEnable", true}, {"HTTPPort", "9091"}};
  for (const auto& [key, value] : spoilers) {
    auto config = pointingAt("127.0.0.1", 9091);
    config[key] = value;
    EXPECT_FALSE(ProxySettings::isOurs(config, "127.0.0.1", 9091)) << key;
  }
}

}  // namespace
}  // namespace kelvane
