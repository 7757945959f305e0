#include "platform/linux/devtools_endpoint.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace kelvane {
namespace {

using DevToolsEndpoints::parseActivePort;

TEST(DevToolsEndpoint, PortFileGivesThePortAndAPlainBrowserPath) {
  const std::string path = "/devtools/browser/83b56cec-b151-484d-b670-5b1056ee0f8a";
  EXPECT_EQ(parseActivePort("33523\n" + path), (DevToolsEndpoint{33523, path}));
  EXPECT_EQ(parseActivePort("33523\n" + path + "\n"), (DevToolsEndpoint{33523, path}));
  EXPECT_EQ(parseActivePort("9222"), (DevToolsEndpoint{9222, std::nullopt}));
  // A path that could end the request line or point elsewhere is dropped.
  EXPECT_EQ(parseActivePort("9222\n/devtools/browser/x y\r\nHost: a"),
            (DevToolsEndpoint{9222, std::nullopt}));
  EXPECT_EQ(parseActivePort("9222\n/json/close/x"), (DevToolsEndpoint{9222, std::nullopt}));
  EXPECT_EQ(parseActivePort("9222\n/devtools/browser/"), (DevToolsEndpoint{9222, std::nullopt}));
  for (const char* bad : {"", "\n/devtools/browser/x", "0", "65536", "-1", "12ab", "99999999999"})
    EXPECT_EQ(parseActivePort(bad), std::nullopt) << bad;
}

TEST(DevToolsEndpoint, UserDataFolderComesFromTheLastSwitchElseTheDefault) {
  const ChromiumBrowser chromium{"com.google.Chrome", "chromium"};
  const std::filesystem::path config = "/home/me/.config";
  const auto dir = [&](std::vector<std::string> args, std::optional<std::string> cwd = {}) {
    return DevToolsEndpoints::userDataDir(args, cwd, chromium, config);
  };
  EXPECT_EQ(dir({"chromium"}), config / "chromium");
  EXPECT_EQ(dir({"chromium", "--user-data-dir="}), config / "chromium");
  EXPECT_EQ(dir({"chromium", "--user-data-dir=/a", "--user-data-dir=/b"}), "/b");
  EXPECT_EQ(dir({"chromium", "--user-data-dir=work"}, "/home/me"), "/home/me/work");
  EXPECT_EQ(dir({"chromium", "--user-data-dir=work"}), std::nullopt);  // relative, no cwd
}

TEST(DevToolsEndpoint, OnlyThePortTheUsersBrowserListensOnAtLoopbackIsUsable) {
  const Proc browser{.pid = 5, .uid = 1000, .listenPorts = {9222, 80}, .exposedPorts = {{80}}};
  EXPECT_EQ(DevToolsEndpoints::refusal(9222, browser, 1000), std::nullopt);
  EXPECT_EQ(DevToolsEndpoints::refusal(9222, browser, 1001), "the browser belongs to another user");
  EXPECT_EQ(DevToolsEndpoints::refusal(9223, browser, 1000), "port 9223 is not the browser's");
  EXPECT_EQ(DevToolsEndpoints::refusal(80, browser, 1000),
            "the endpoint listens beyond this machine");
}

TEST(DevToolsEndpoint, VersionAnswerIsFollowedOnlyToThisPortOnLoopback) {
  const auto path = [](const std::string& url) {
    return DevToolsEndpoints::browserPathFromVersion({{"webSocketDebuggerUrl", url}}, 9222);
  };
  EXPECT_EQ(path("ws://127.0.0.1:9222/devtools/browser/ab-1"), "/devtools/browser/ab-1");
  EXPECT_EQ(path("ws://localhost:9222/devtools/browser/ab-1"), "/devtools/browser/ab-1");
  EXPECT_EQ(path("ws://127.0.0.1:92220/devtools/browser/ab-1"), std::nullopt);
  EXPECT_EQ(path("ws://127.0.0.1:9223/devtools/browser/ab-1"), std::nullopt);
  EXPECT_EQ(path("ws://192.168.1.4:9222/devtools/browser/ab-1"), std::nullopt);
  EXPECT_EQ(path("ws://127.0.0.1.evil.example:9222/devtools/browser/ab-1"), std::nullopt);
  EXPECT_EQ(path("ws://127.0.0.1:9222/devtools/page/ab-1"), std::nullopt);
  EXPECT_EQ(DevToolsEndpoints::browserPathFromVersion(nlohmann::json::array(), 9222), std::nullopt);
  EXPECT_EQ(DevToolsEndpoints::browserPathFromVersion({{"webSocketDebuggerUrl", 7}}, 9222),
            std::nullopt);
}

}  // namespace
}  // namespace kelvane
