#include "core/proxyswitch/helper_protocol.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

// Records the calls it gets and replies with canned values.
struct FakeHelper final : ProxyHelperXPC {
  std::vector<std::string> calls;
  std::optional<std::string> enableError;
  void enable(std::string host, int64_t port,
              std::function<void(std::optional<std::string>)> reply) override {
    calls.push_back("enable " + host + ":" + std::to_string(port));
    reply(enableError);
  }
  void disable(std::function<void()> reply) override {
    calls.push_back("disable");
    reply();
  }
  void status(std::function<void(bool, bool)> reply) override {
    calls.push_back("status");
    reply(true, false);
  }
};

HelperRequest request(HelperCall call, std::string host = "", int64_t port = 0) {
  HelperRequest r;
  r.call = call;
  r.host = std::move(host);
  r.port = port;
  return r;
}

HelperReply reply(std::optional<std::string> error, bool applied = false, bool tampered = false) {
  HelperReply r;
  r.error = std::move(error);
  r.applied = applied;
  r.tampered = tampered;
  return r;
}

TEST(HelperProtocol, RequestsRoundTrip) {
  for (const HelperRequest& request : {request(HelperCall::enable, "127.0.0.1", 9091),
                                       request(HelperCall::disable), request(HelperCall::status)}) {
    const auto decoded = HelperProtocol::decodeRequest(HelperProtocol::encodeRequest(request));
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(*decoded, request);
  }
  EXPECT_EQ(HelperProtocol::encodeRequest(request(HelperCall::enable, "127.0.0.1", 9091)),
            R"({"call":"enable","host":"127.0.0.1","port":9091})");
}

TEST(HelperProtocol, BadRequestsGetTheirReason) {
  const std::pair<const char*, const char*> cases[] = {
      {"", "Not a JSON request"},
      {"{\"call\":", "Not a JSON request"},
      {"[\"enable\"]", "Bad request: not an object"},
      {"{}", "Bad request: call must be text"},
      {R"({"call":7})", "Bad request: call must be text"},
      {R"({"call":"reboot"})", "Unknown call"},
      {R"({"call":"Enable","host":"127.0.0.1","port":9091})", "Unknown call"},
      {R"({"call":"enable","port":9091})", "Bad request: host must be text"},
      {R"({"call":"enable","host":1,"port":9091})", "Bad request: host must be text"},
      {R"({"call":"enable","host":"127.0.0.1","port":"9091"})",
       "Bad request: port must be an integer"},
      {R"({"call":"enable","host":"127.0.0.1","port":9091.5})",
       "Bad request: port must be an integer"},
      {R"({"call":"enable","host":"127.0.0.1","port":18446744073709551615})",
       "Bad request: port must be an integer"},
  };
  for (const auto& [line, reason] : cases) {
    const auto decoded = HelperProtocol::decodeRequest(line);
    ASSERT_FALSE(decoded.has_value()) << line;
    EXPECT_EQ(decoded.error(), reason) << line;
  }
}

TEST(HelperProtocol, DispatchAnswersEachCallInItsShape) {
  FakeHelper helper;
  using HelperProtocol::dispatch;
  EXPECT_EQ(dispatch(helper, R"({"call":"status"})"), R"({"applied":true,"tampered":false})");
  EXPECT_EQ(dispatch(helper, R"({"call":"disable"})"), "{}");
  EXPECT_EQ(dispatch(helper, R"({"call":"enable","host":"127.0.0.1","port":-3})"), "{}");
  helper.enableError = "Invalid proxy address";
  EXPECT_EQ(dispatch(helper, R"({"call":"enable","host":"h","port":1})"),
            R"({"error":"Invalid proxy address"})");
  EXPECT_EQ(dispatch(helper, "nonsense"), R"({"error":"Not a JSON request"})");
  EXPECT_EQ(helper.calls,
            (std::vector<std::string>{"status", "disable", "enable 127.0.0.1:-3", "enable h:1"}));
}

TEST(HelperProtocol, RepliesDecode) {
  EXPECT_EQ(HelperProtocol::decodeReply(R"({"applied":true,"tampered":true})"),
            reply(std::nullopt, true, true));
  EXPECT_EQ(HelperProtocol::decodeReply(R"({"error":"Unknown call"})"), reply("Unknown call"));
  EXPECT_EQ(HelperProtocol::decodeReply("{}"), HelperReply{});
  for (const char* bad : {"", "[]", R"({"applied":"yes"})", R"({"error":5})"})
    EXPECT_EQ(HelperProtocol::decodeReply(bad), std::nullopt) << bad;
}

}  // namespace
}  // namespace kelvane
