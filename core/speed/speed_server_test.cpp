#include "core/speed/speed_server.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(SpeedServerDecode, KeepsUsableHostsInOrder) {
  const auto servers = SpeedServer::decode(R"([
    {"host": "speed1.example.net:8080", "name": "First"},
    {"host": ""},
    {"host": ":8080"},
    {"host": "[2001:db8::1]:443"},
    {"host": "speed2.example.net"}
  ])");
  ASSERT_TRUE(servers);
  EXPECT_EQ(*servers,
            (std::vector<SpeedServer>{
                {"speed1.example.net:8080"}, {"[2001:db8::1]:443"}, {"speed2.example.net"}}));
  const auto none = SpeedServer::decode(R"([{"host": ""}, {"host": ":443"}])");
  ASSERT_TRUE(none);
  EXPECT_TRUE(none->empty());
}

TEST(SpeedServerDecode, MalformedListsAreErrors) {
  const std::string cases[] = {
      "",                                  // nothing at all
      "<html>502 Bad Gateway</html>",      // not JSON
      R"({"host": "a"})",                  // an object, not a list
      R"([{"host": "a"}, {"url": "b"}])",  // one server without a host
      R"([{"host": 42}])",                 // a host that is not text
      R"([{"host": "a"}, "b"])",           // an element that is not an object
      "[{\"host\": \"\xff\xfe\"}]",        // bytes that are not UTF-8
  };
  for (const auto& text : cases) {
    const auto servers = SpeedServer::decode(text);
    ASSERT_FALSE(servers) << text;
    EXPECT_FALSE(servers.error().empty());
  }
}

}  // namespace
}  // namespace kelvane
