#include "core/planning/guards.h"

#include <gtest/gtest.h>

#include "core/planning/testing/chrome_tab.h"

namespace kelvane {
namespace {

using testing::kMe;

Proc proc(int32_t pid, std::string name, std::string path) {
  return Proc{.pid = pid, .ppid = 1, .uid = kMe, .name = std::move(name), .path = std::move(path)};
}

Snapshot desktop() {
  Snapshot s;
  s.me = kMe;
  s.frontPID = 102;
  s.apps = {
      {.pid = 100, .name = "Mail", .bundlePath = "/System/Applications/Mail.app"},
      {.pid = 101, .name = "Finder", .bundlePath = "/System/Library/CoreServices/Finder.app"},
      {.pid = 102,
       .bundleID = "com.slack",
       .name = "Slack",
       .bundlePath = "/Applications/Slack.app"},
      {.pid = 103, .name = "Tool", .bundlePath = "/Applications/Tools.app/Contents/Tool.app"},
      {.pid = 104, .name = "Tools", .bundlePath = "/Applications/Tools.app"},
      {.pid = 105, .name = "Agent", .policy = AppPolicy::accessory},
  };
  return s;
}

TEST(Guards, ReasonsInOrder) {
  const Snapshot s = desktop();
  Allowlist allow;
  allow.processes = {"kept", "/opt/bin/also-kept"};
  allow.apps = {"com.docker", "Docker"};
  Proc root = proc(300, "kept", "/opt/kept");
  root.uid = 0;
  Proc shell = proc(301, "zsh", "/bin/zsh");
  shell.tty = "ttys001";
  Proc bundled = proc(302, "backend", "/opt/x");
  bundled.bundleID = "com.docker";
  const struct {
    Proc proc;
    bool window;
    std::optional<std::string> reason;
  } cases[] = {
      {root, false, "other user"},  // even though allowlisted
      {proc(200, "nopath", ""), true, "unknown path"},
      {proc(100, "Mail", "/System/Applications/Mail.app/Contents/MacOS/Mail"), false, {}},
      {proc(201, "mailhelper", "/usr/libexec/mailhelper"), true, "system"},
      {proc(202, "x", "/Library/Apple/System/x"), true, "system"},
      {shell, false, {}},  // programs in a terminal are the user's
      {proc(101, "Finder", "/System/Library/CoreServices/Finder.app/Contents/MacOS/Finder"), false,
       "protected"},
      {proc(101, "Finder", "/System/Library/CoreServices/Finder.app/Contents/MacOS/Finder"),
       true,
       {}},
      {proc(102, "Slack", "/Applications/Slack.app/Contents/MacOS/Slack"), false, "in use"},
      {proc(203, "kept", "/opt/kept"), true, "allowlisted"},
      {proc(204, "other", "/opt/bin/also-kept"), true, "allowlisted"},
      {bundled, true, "allowlisted"},
      {proc(205, "backend", "/Applications/Docker.app/Contents/MacOS/backend"), true,
       "allowlisted"},
      {proc(206, "sim", "/Users/u/Library/Developer/CoreSimulator/Devices/1/data/sim"), false,
       "helper of Simulator"},
      {proc(207, "Slack Helper", "/Applications/Slack.app/Contents/Frameworks/Helper.app/h"), false,
       "helper of Slack"},
      {proc(208, "x", "/Applications/Slack.appx/x"), false, {}},
      // The first application in snapshot order whose bundle holds the program.
      {proc(209, "t", "/Applications/Tools.app/Contents/Tool.app/t"), false, "helper of Tool"},
      {proc(105, "Agent", "/Applications/Agent.app/Agent"), false, {}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(Guards::block(c.proc, s, allow, c.window), c.reason) << c.proc.path;
}

TEST(Guards, AllowlistedApplicationsKeepTheirHelpersAndThemselves) {
  const Snapshot s = desktop();
  Allowlist allow;
  allow.apps = {"com.slack", "Tool"};
  const Proc helper = proc(207, "Slack Helper", "/Applications/Slack.app/Contents/Helper");
  const Proc slack = proc(102, "Slack", "/opt/slack");  // its own record decides
  const Proc inner = proc(209, "t", "/Applications/Tools.app/Contents/Tool.app/t");
  EXPECT_EQ(Guards::block(helper, s, allow, false), "allowlisted");
  EXPECT_EQ(Guards::block(slack, s, allow, true), "allowlisted");
  EXPECT_EQ(Guards::block(inner, s, allow, false), "allowlisted");
  EXPECT_EQ(Guards::block(inner, s, {}, false), "helper of Tool");
}

TEST(Guards, CheckerCanIgnoreTheFrontmostApplication) {
  const Snapshot s = desktop();
  const Allowlist none;
  const Proc slack = proc(102, "Slack", "/Applications/Slack.app/Contents/MacOS/Slack");
  EXPECT_EQ(Guards::Checker(s, none).block(slack, false), "in use");
  EXPECT_EQ(Guards::Checker(s, none, false).block(slack, false), std::nullopt);
  EXPECT_TRUE(Guards::Checker(s, none).isRegularApp(101));
  EXPECT_FALSE(Guards::Checker(s, none).isRegularApp(105));
}

TEST(Guards, OutermostAppName) {
  EXPECT_EQ(Guards::outermostAppName("/Applications/Xcode.app/Contents/Dev.app/x"), "Xcode");
  EXPECT_EQ(Guards::outermostAppName("//A.app//"), "A");
  EXPECT_EQ(Guards::outermostAppName("/opt/app/x.appx"), std::nullopt);
  EXPECT_EQ(Guards::outermostAppName(""), std::nullopt);
}

}  // namespace
}  // namespace kelvane
