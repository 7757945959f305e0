#include "core/proxyswitch/helper_protocol.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

TEST(HelperProtocol, TheGreetingIsNeverTakenForAReply) {
  const std::string greeting = HelperProtocol::greeting();
  EXPECT_TRUE(HelperProtocol::isGreeting(greeting));
  // A client that writes at once is refused, but should the greeting reach it
  // first it reads the greeting as its reply, which must then fail to decode.
  EXPECT_EQ(HelperProtocol::decodeReply(greeting), std::nullopt);
  EXPECT_TRUE(HelperProtocol::isGreeting(R"([ "KelvaneProxyHelper" , 7 ])"));  // a later version
  for (const char* line :
       {"", "{}", R"({"error":"Unknown call"})", R"(["KelvaneProxyHelper"])",
        R"(["KelvaneProxyHelper",0])", R"(["KelvaneProxyHelper",-1])",
        R"(["KelvaneProxyHelper","1"])", R"(["KelvaneProxyHelper",1.5])",
        R"(["KelvaneProxyHelper",1,2])", R"(["Other",1])", "[\"KelvaneProxyHelper\",1"})
    EXPECT_FALSE(HelperProtocol::isGreeting(line)) << line;
}

}  // namespace
}  // namespace kelvane
