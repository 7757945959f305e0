#include "core/proxyswitch/proxy_settings.h"

#include <string>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

ServiceConfig userConfig() {
  return {{"HTTPEnable", 1},
          {"HTTPProxy", "proxy.corp"},
          {"HTTPPort", 3128},
          {"HTTPSEnable", 0},
          {"SOCKSEnable", 1},
          {"SOCKSProxy", "socks.corp"},
          {"ProxyAutoConfigURLString", "http://wpad/wpad.dat"},
          {"ExceptionsList", PlistArray{"*.corp", "10.0.0.0/8"}}};
}

ServiceConfig loopback(const char* host, PlistValue port) {
  return {{"HTTPEnable", 1},  {"HTTPProxy", host},  {"HTTPPort", port},
          {"HTTPSEnable", 1}, {"HTTPSProxy", host}, {"HTTPSPort", port}};
}

std::vector<uint8_t> bytes(std::string_view s) { return {s.begin(), s.end()}; }

TEST(ProxySettingsCoding, RoundTripsEveryKindOfValue) {
  const SettingsSet settings = {
      {"A1B2-wifi",
       {{"bool", true},
        {"negative", int64_t{-5}},
        {"big", int64_t{1} << 40},
        {"real", 2.5},
        {"text", "caf\xc3\xa9 \xe2\x98\x95"},
        {"data", PlistData{0, 1, 254, 255}},
        {"date", PlistDate{794'000'000.25}},
        {"uid", PlistUid{7}},
        {"list", PlistArray{"a", 1, PlistArray{}, PlistDict{{"k", false}}}},
        {"nested", PlistDict{{"deeper", PlistDict{{"x", 1.0}}}}}}},
      {"C3D4-ethernet", {}},
  };
  const auto encoded = ProxySettings::encode(settings);
  ASSERT_TRUE(encoded);
  EXPECT_EQ(std::string(encoded->begin(), encoded->begin() + 8), "bplist00");
  EXPECT_EQ(ProxySettings::decode(*encoded), settings);
  EXPECT_EQ(ProxySettings::decode(*ProxySettings::encode({})), SettingsSet{});
}

TEST(ProxySettingsCoding, RefusesWhatIsNotADictionaryOfDictionaries) {
  const auto rootArray =
      bytes("<?xml version=\"1.0\"?><plist version=\"1.0\"><array><dict/></array></plist>");
  const auto textValue = bytes(
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>wifi</key>"
      "<string>x</string></dict></plist>");
  for (const auto& bad :
       {bytes(""), bytes("not a property list"), bytes("bplist00garbage"), rootArray, textValue})
    EXPECT_EQ(ProxySettings::decode(bad), std::nullopt);
  const auto xml = bytes(
      "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>wifi</key><dict>"
      "<key>HTTPPort</key><integer>8080</integer></dict></dict></plist>");
  EXPECT_EQ(ProxySettings::decode(xml), (SettingsSet{{"wifi", {{"HTTPPort", 8080}}}}));
}

TEST(ProxySettingsCoding, RefusesTextTheFormatWouldCut) {
  EXPECT_EQ(ProxySettings::encode({{"wifi", {{"HTTPProxy", std::string("a\0b", 3)}}}}),
            std::nullopt);
  EXPECT_EQ(ProxySettings::encode({{std::string("wi\0fi", 5), {}}}), std::nullopt);
}

TEST(ProxySettingsDisablingLoopback, TurnsOffOnlyOurRange) {
  struct Case {
    const char* host;
    PlistValue port;
    int expectedEnable;
  };
  const Case cases[] = {
      {"127.0.0.1", 9091, 0},   {"127.0.0.1", 9111, 0}, {"127.0.0.1", 9112, 1},
      {"127.0.0.1", 9090, 1},   {"localhost", 9100, 1}, {"127.0.0.1", "9100", 1},
      {"127.0.0.1", 9100.0, 1},
  };
  for (const auto& c : cases) {
    const auto out = ProxySettings::disablingLoopback(loopback(c.host, c.port));
    auto expected = loopback(c.host, c.port);
    expected["HTTPEnable"] = c.expectedEnable;
    expected["HTTPSEnable"] = c.expectedEnable;
    EXPECT_EQ(out, expected) << c.host;
  }
  // Each side on its own; a missing side stays missing.
  const ServiceConfig httpsOnly = {
      {"HTTPSEnable", 1}, {"HTTPSProxy", "127.0.0.1"}, {"HTTPSPort", 9095}, {"Other", "kept"}};
  EXPECT_EQ(ProxySettings::disablingLoopback(httpsOnly), (ServiceConfig{{"HTTPSEnable", 0},
                                                                        {"HTTPSProxy", "127.0.0.1"},
                                                                        {"HTTPSPort", 9095},
                                                                        {"Other", "kept"}}));
}

TEST(ProxySettingsApplying, KeepsOtherKeysAndReplacesTheExceptionList) {
  auto expected = userConfig();
  for (const auto& [key, value] : loopback("127.0.0.1", 9099)) expected[key] = value;
  expected["ExceptionsList"] = PlistArray{"localhost", "127.0.0.1", "*.local", "169.254/16"};
  EXPECT_EQ(ProxySettings::applying(userConfig(), "127.0.0.1", 9099), expected);
}

TEST(ProxySettingsMerging, SavedWinsAndNewServicesAreAdded) {
  const SettingsSet saved = {{"wifi", userConfig()}};
  const SettingsSet current = {{"wifi", loopback("127.0.0.1", 9091)}, {"vpn", {{"a", 1}}}};
  EXPECT_EQ(ProxySettings::merging(saved, current),
            (SettingsSet{{"wifi", userConfig()}, {"vpn", {{"a", 1}}}}));
}

TEST(ProxySettingsRestoring, FollowsTheServicesThatExistNow) {
  const SettingsSet saved = {{"wifi", userConfig()}, {"gone", userConfig()}};
  const SettingsSet current = {{"wifi", loopback("127.0.0.1", 9091)},
                               {"new", loopback("127.0.0.1", 9091)}};
  auto newOff = loopback("127.0.0.1", 9091);
  newOff["HTTPEnable"] = 0;
  newOff["HTTPSEnable"] = 0;
  EXPECT_EQ(ProxySettings::restoring(saved, current),
            (SettingsSet{{"wifi", userConfig()}, {"new", newOff}}));
}

TEST(ProxySettingsIsOurs, NeedsBothSidesOnAndPointingAtUs) {
  EXPECT_TRUE(ProxySettings::isOurs(ProxySettings::applying(userConfig(), "127.0.0.1", 9091),
                                    "127.0.0.1", 9091));
  auto httpsElsewhere = loopback("127.0.0.1", 9091);
  httpsElsewhere["HTTPSProxy"] = "10.0.0.1";
  auto wrongPort = loopback("127.0.0.1", 9091);
  wrongPort["HTTPSPort"] = 9092;
  auto boolEnable = loopback("127.0.0.1", 9091);
  boolEnable["HTTPEnable"] = true;
  auto missing = loopback("127.0.0.1", 9091);
  missing.erase("HTTPSEnable");
  for (const auto& config : {httpsElsewhere, wrongPort, boolEnable, missing})
    EXPECT_FALSE(ProxySettings::isOurs(config, "127.0.0.1", 9091));
}

}  // namespace
}  // namespace kelvane
