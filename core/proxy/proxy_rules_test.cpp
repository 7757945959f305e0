#include "core/proxy/proxy_rules.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "core/proxy/engine_command.h"
#include "core/support/json_coding.h"

namespace kelvane {
namespace {

TEST(ProxyRulesMatch, WildcardsNamesAndAddresses) {
  struct Case {
    const char* pattern;
    const char* host;
    bool expected;
  } cases[] = {
      {"*.Example.COM", "api.example.com.", true},
      {"*.example.com", "example.com", true},
      {"*.example.com", "badexample.com", false},
      {" \t*.example.com\n", "x.example.com", true},
      {"\xC2\xA0*.example.com\xE3\x80\x80", "x.example.com", true},  // Unicode spaces.
      {"Example.com..", "EXAMPLE.com", true},
      {"*.0.0.1", "127.0.0.1", false},
      {"127.0.0.1", "127.0.0.1.", true},
      {"[::1]", "::1", true},
      {"::1", "[::1]", true},
      {"[::1]", "0:0:0:0:0:0:0:1", false},  // Addresses compare as written.
      {"*.äb.com", "x.ÄB.com", false},      // Only A-Z fold.
  };
  for (const auto& c : cases)
    EXPECT_EQ(ProxyRules::matches(c.pattern, c.host), c.expected) << c.pattern << " / " << c.host;
}

TEST(ProxyRulesDecrypts, NeverWinsAndEmptyHostsDecryptNothing) {
  const ProxyRules rules{{"*.shop.test", "10.0.0.1"}, {"pay.shop.test"}};
  EXPECT_FALSE(rules.decrypts("pay.shop.test"));
  EXPECT_FALSE(rules.decrypts("PAY.shop.test."));
  EXPECT_TRUE(rules.decrypts("www.shop.test"));
  EXPECT_TRUE(rules.decrypts("10.0.0.1"));
  EXPECT_FALSE(rules.decrypts("other.test"));
  EXPECT_FALSE((ProxyRules{{}, {}}.decrypts("shop.test")));
}

TEST(ProxyRulesJson, RoundTripsAndNeedsBothKeys) {
  const ProxyRules rules{{"a", "*.b"}, {"c"}};
  EXPECT_EQ(decodeJson<ProxyRules>(*encodeValue(rules)), rules);
  EXPECT_EQ(*encodeValue(rules), R"({"hosts":["a","*.b"],"never":["c"]})");
  EXPECT_EQ(decodeJson<ProxyRules>(R"({"hosts":[]})"), std::nullopt);
  EXPECT_EQ(decodeJson<ProxyRules>(R"({"never":[]})"), std::nullopt);
  EXPECT_EQ(decodeJson<ProxyRules>(R"({"hosts":[1],"never":[]})"), std::nullopt);
}

std::string line(EngineCommand::Value value) {
  const auto bytes = EngineCommand{std::move(value)}.line();
  return {bytes.begin(), bytes.end()};
}

TEST(EngineCommandLine, EncodesEachCommandWithSortedKeys) {
  EXPECT_EQ(line(EngineCommand::Stop{}), "{\"cmd\":\"stop\"}\n");
  EXPECT_EQ(line(EngineCommand::Lan{}), "{\"addr\":null,\"cmd\":\"lan\"}\n");
  EXPECT_EQ(line(EngineCommand::Lan{"192.168.1.5"}),
            "{\"addr\":\"192.168.1.5\",\"cmd\":\"lan\"}\n");
  EXPECT_EQ(line(EngineCommand::Devices{{"10.0.0.2", "10.0.0.3"}}),
            "{\"allowed\":[\"10.0.0.2\",\"10.0.0.3\"],\"cmd\":\"devices\"}\n");
  EXPECT_EQ(line(ProxyRules{{"*.a"}, {}}),
            "{\"cmd\":\"rules\",\"hosts\":[\"*.a\"],\"never\":[]}\n");
  EXPECT_EQ(line(EngineCommand::Start{9091, "C/\n", std::nullopt, {{"h"}, {"n"}}, std::nullopt}),
            "{\"ca_cert_pem\":\"C/\\n\",\"ca_key_pem\":null,\"cmd\":\"start\",\"lan\":null,"
            "\"port\":9091,\"rules\":{\"hosts\":[\"h\"],\"never\":[\"n\"]}}\n");
  EXPECT_EQ(line(EngineCommand::Lan{"\xff"}), "\n");  // Not UTF-8: nothing to send.
}

TEST(EngineCommandDescription, HidesTheKey) {
  const EngineCommand start{EngineCommand::Start{1, "CERT", "KEY", {{"h"}, {}}, "10.0.0.1"}};
  EXPECT_EQ(start.description(),
            "start(port: 1, caCertPEM: CERT, caKeyPEM: <hidden>, rules: ProxyRules(hosts: "
            "[\"h\"], never: []), lan: 10.0.0.1)");
  EXPECT_EQ(start.description().find("KEY"), std::string::npos);
  EXPECT_EQ(EngineCommand{EngineCommand::Stop{}}.description(), "stop");
}

}  // namespace
}  // namespace kelvane
