#include "core/speed/speed_server.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(SpeedServerDecode, KeepsUsableHostsInOrder) {
  const auto servers = SpeedServer::decode(
      R"([{"host": "a.example.net:8080", "name": "A"}, {"host": ""}, {"host": ":8080"},
          {"host": "[2001:db8::1]:443"}])");
  ASSERT_TRUE(servers);
  EXPECT_EQ(*servers, (std::vector<SpeedServer>{{"a.example.net:8080"}, {"[2001:db8::1]:443"}}));
}

TEST(SpeedServerDecode, MalformedListsAreErrors) {
  for (const std::string text :
       {"", "<html>502 Bad Gateway</html>", R"({"host": "a"})", R"([{"host": "a"}, {"url": "b"}])",
        R"([{"host": 42}])", R"([{"host": "a"}, "b"])", "[{\"host\": \"\xff\xfe\"}]"}) {
    const auto servers = SpeedServer::decode(text);
    ASSERT_FALSE(servers) << text;
    EXPECT_FALSE(servers.error().empty());
  }
}

}  // namespace
}  // namespace kelvane
