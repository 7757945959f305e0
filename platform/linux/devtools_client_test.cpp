#include "platform/linux/devtools_client.h"

#include <cstdlib>

#include <gtest/gtest.h>

#include "platform/linux/browser_connection.h"
#include "platform/linux/testing/http_server.h"

namespace kelvane {
namespace {

using testing::HttpReply;
using testing::HttpServer;

DevToolsClient::Clock::time_point soon() {
  return DevToolsClient::Clock::now() + std::chrono::milliseconds(500);
}

TEST(DevToolsClient, GetsJsonAndReportsEveryOtherAnswerAsAnError) {
  HttpServer server([](const std::string& path) {
    if (path == "/json/list") return HttpReply::json(R"([{"id": "A"}])");
    if (path == "/json/bad") return HttpReply::json(R"([{"id": )");
    if (path == "/json/hang") return HttpReply::hang();
    if (path == "/json/drop") return HttpReply::drop();
    return HttpReply{.status = 404};
  });
  const auto get = [&](const char* path) {
    return DevToolsClient(server.port(), soon()).getJson(path);
  };
  EXPECT_EQ(get("/json/list").value_or({}), nlohmann::json::parse(R"([{"id": "A"}])"));
  EXPECT_EQ(get("/json/bad").error(), "the answer is not JSON");
  EXPECT_EQ(get("/json/hang").error(), "no answer in time");
  EXPECT_FALSE(get("/json/drop"));
  EXPECT_EQ(get("/json/other").error(), "the endpoint answered 404");
  EXPECT_EQ(get("/json/list?x=1\r\nHost: b").error(), "bad endpoint path");
  EXPECT_EQ(
      DevToolsClient(server.port(), DevToolsClient::Clock::now()).getJson("/json/list").error(),
      "no answer in time");            // The deadline has passed before the call.
  EXPECT_EQ(server.connections(), 5);  // None for the refused path or the passed deadline.
}

TEST(DevToolsClient, NeverGoesThroughAProxyFromTheEnvironment) {
  HttpServer server([](const std::string&) { return HttpReply::json("{}"); });
  HttpServer proxy([](const std::string&) { return HttpReply::json(R"({"proxied": true})"); });
  const std::string address = "http://127.0.0.1:" + std::to_string(proxy.port());
  for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"})
    ::setenv(name, address.c_str(), 1);
  const auto answer = DevToolsClient(server.port(), soon()).getJson("/json/version");
  for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) ::unsetenv(name);
  EXPECT_EQ(answer.value_or({}), nlohmann::json::object());
  EXPECT_EQ(proxy.connections(), 0);
}

TEST(DevToolsClient, CommandsFailWhenTheSocketCannotOpenOrAnswer) {
  HttpServer server([](const std::string& path) {
    return path == "/devtools/browser/hang" ? HttpReply::hang() : HttpReply::drop();
  });
  DevToolsClient unconnected(server.port(), soon());
  EXPECT_EQ(unconnected.call("Target.getTargets").error(), "not connected");
  EXPECT_FALSE(DevToolsClient(server.port(), soon()).connect("/devtools/browser/drop"));
  EXPECT_EQ(DevToolsClient(server.port(), soon()).connect("/devtools/browser/hang").error(),
            "no answer in time");
  EXPECT_EQ(DevToolsClient(server.port(), soon()).connect("/devtools/browser/a b").error(),
            "bad endpoint path");
  EXPECT_EQ(server.connections(), 2);
}

TEST(TabTargets, ReadsTabsWithTheirPlaceAndSkipsOtherTargets) {
  const auto answer = nlohmann::json::parse(R"({"targetInfos": [
    {"targetId": "T1", "type": "tab", "url": "https://a.example/", "title": "A",
     "browserContextId": "C1", "embedderData": {"tabActive": true, "tabStripIndex": 2}},
    {"targetId": "P1", "type": "page", "url": "https://a.example/", "title": "A"},
    {"targetId": "T2", "type": "tab", "url": "about:blank",
     "embedderData": {"tabActive": false, "tabStripIndex": 0}}]})");
  EXPECT_EQ(parseTabTargets(answer).value_or({}),
            (std::vector<TabTarget>{{.id = "T1",
                                     .url = "https://a.example/",
                                     .title = "A",
                                     .context = "C1",
                                     .index = 2,
                                     .active = true},
                                    {.id = "T2", .url = "about:blank", .index = 0}}));
  // Browsers too old to say where a tab is, and answers of another shape, are refused.
  for (
      const char* bad :
      {R"({"targetInfos": [{"targetId": "T1", "type": "tab", "url": "x"}]})",
       R"({"targetInfos": [{"targetId": "T1", "type": "tab",
               "embedderData": {"tabActive": 1, "tabStripIndex": 0}}]})",
       R"({"targetInfos": [{"type": "tab", "embedderData": {"tabActive": true, "tabStripIndex": 0}}]})",
       R"({"targetInfos": {}})", R"([])"})
    EXPECT_FALSE(parseTabTargets(nlohmann::json::parse(bad))) << bad;
}

}  // namespace
}  // namespace kelvane
