#include "core/speed/speed_server.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(SpeedServerDecode, KeepsUsableHostsInOrderAndRefusesMalformedLists) {
  const auto servers = SpeedServer::decode(
      R"([{"host": "a.example.net:8080", "name": "A"}, {"host": ""}, {"host": ":8080"},
          {"host": "[2001:db8::1]:443"}])");
  ASSERT_TRUE(servers);
  EXPECT_EQ(*servers, (std::vector<SpeedServer>{{"a.example.net:8080"}, {"[2001:db8::1]:443"}}));
  // Malformed lists are errors, never exceptions.
  for (const std::string text :
       {"", "<html>502 Bad Gateway</html>", R"({"host": "a"})", R"([{"host": "a"}, {"url": "b"}])",
        R"([{"host": 42}])", R"([{"host": "a"}, "b"])", "[{\"host\": \"\xff\xfe\"}]"}) {
    const auto refused = SpeedServer::decode(text);
    ASSERT_FALSE(refused) << text;
    EXPECT_FALSE(refused.error().empty());
  }
}

}  // namespace
}  // namespace kelvane
