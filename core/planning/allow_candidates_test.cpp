#include "core/planning/allow_candidates.h"

#include <gtest/gtest.h>

#include "core/planning/testing/chrome_tab.h"

namespace kelvane {
namespace {

using testing::kMe;

std::vector<std::string> titles(const std::vector<AllowCandidate>& list) {
  std::vector<std::string> out;
  for (const AllowCandidate& c : list) out.push_back(c.title);
  return out;
}

TEST(AllowCandidates, AppsOnceEachRunningOnesReplacingInstalledOnes) {
  Snapshot s;
  s.apps = {
      {.pid = 1, .bundleID = "com.example.mail", .name = "Mail", .bundlePath = "/Run/Mail.app"},
      {.pid = 2, .name = "Tool", .bundlePath = "/Run/Tool.app"},
      {.pid = 3, .bundleID = "com.example.menu", .name = "Menu", .policy = AppPolicy::accessory},
      {.pid = 4, .bundleID = "com.example.mail", .name = "Mail 2"}};
  const std::vector<InstalledApp> installed = {
      {.bundleID = "com.example.mail", .name = "Mail", .path = "/Applications/Mail.app"},
      {.name = "Copy", .path = "/Applications/Copy.app"},
      {.name = "Copy", .path = "/Volumes/Old/Copy.app"},
      {.bundleID = "com.example.notes", .name = "notes", .path = "/Applications/Notes.app"}};
  Allowlist kept;
  kept.apps = {"Copy", "Tool"};
  EXPECT_EQ(AllowCandidates::apps(&s, installed, kept),
            (std::vector<AllowCandidate>{
                {"Copy", "Copy", "installed", "/Applications/Copy.app", true, std::nullopt},
                {"com.example.mail", "Mail", "running", "/Applications/Mail.app", false, {}},
                {"com.example.notes", "notes", "installed", "/Applications/Notes.app", false, {}},
                {"Tool", "Tool", "running", "/Run/Tool.app", true, {}}}));
  EXPECT_EQ(titles(AllowCandidates::apps(nullptr, installed, kept)),
            (std::vector<std::string>{"Copy", "Mail", "notes"}));
}

TEST(AllowCandidates, TitlesSortLikeAFileBrowserAndStably) {
  std::vector<InstalledApp> installed;
  for (const char* name : {"app 10", "Zed", "App 9", "éclair", "apple", "app 1", "Eagle"})
    installed.push_back({.name = name, .path = std::string("/A/") + name});
  installed.push_back({.bundleID = "com.other", .name = "App 9", .path = "/B"});
  const auto list = AllowCandidates::apps(nullptr, installed, {});
  EXPECT_EQ(titles(list), (std::vector<std::string>{"app 1", "App 9", "App 9", "app 10", "apple",
                                                    "Eagle", "éclair", "Zed"}));
  EXPECT_EQ(list[1].value, "App 9");  // equal titles keep their order
}

// Three processes of one program, a lone one, one allowlisted, and ones never offered.
Snapshot processDesk() {
  Snapshot s;
  s.me = kMe;
  const auto add = [&](int32_t pid, std::string name, std::string path, uint32_t uid = kMe) {
    s.procs.push_back({.pid = pid, .ppid = 1, .uid = uid, .name = name, .path = path});
  };
  for (int32_t pid : {10, 11, 12}) add(pid, "node", "/opt/homebrew/bin/node");
  add(13, "worker", "/opt/worker");
  add(14, "sync", "/Users/me/Sync.app/Contents/MacOS/sync");
  add(20, "theirs", "/opt/theirs", 0);
  add(21, "launchd", "/sbin/launchd");
  add(22, "Dock", "/opt/Dock");
  add(23, "nopath", "");
  add(24, "Editor", "/Applications/Editor.app/Contents/MacOS/Editor");
  s.apps = {{.pid = 24, .name = "Editor"}};
  return s;
}

TEST(AllowCandidates, ProcessesOncePerProgramWithAWarningWhenShared) {
  const Snapshot s = processDesk();
  Allowlist kept;
  kept.processes = {"worker"};
  EXPECT_EQ(AllowCandidates::processes(s, kept),
            (std::vector<AllowCandidate>{
                {"/opt/homebrew/bin/node", "node", "/opt/homebrew/bin", std::nullopt, false,
                 "Keeps all 3 node processes, now and later."},
                {"/Users/me/Sync.app/Contents/MacOS/sync", "sync", "Sync", "/Users/me/Sync.app",
                 false, std::nullopt},
                {"/opt/worker", "worker", "/opt", std::nullopt, true, std::nullopt}}));
}

TEST(AllowCandidates, SharedCountCountsTheUsersProcessesByNameOrPath) {
  Snapshot s = processDesk();
  s.procs.push_back({.pid = 30, .uid = 0, .name = "node", .path = "/opt/homebrew/bin/node"});
  EXPECT_EQ(AllowCandidates::sharedCount("/opt/homebrew/bin/node", s), 3);
  EXPECT_EQ(AllowCandidates::sharedCount("node", s), 3);
  EXPECT_EQ(AllowCandidates::sharedCount("nopath", s), 1);
  EXPECT_EQ(AllowCandidates::sharedCount("", s), 0);  // an empty path matches nothing
}

TEST(AllowCandidates, SitesByLowerCasedHostOfWebTabs) {
  Snapshot s;
  const auto tab = [&](std::string url) { s.tabs.push_back({.browser = "b", .url = url}); };
  tab("https://Docs.Example.test/a");
  tab("HTTP://docs.example.test/b");
  tab("https://b.test/");
  tab("file:///Users/me/x.html");
  tab("about:blank");
  tab("ftp://files.test/");
  tab("https://www.kept.test/");
  Allowlist kept;
  kept.sites = {"kept.test"};
  EXPECT_EQ(AllowCandidates::sites(s, kept),
            (std::vector<AllowCandidate>{
                {"b.test", "b.test", "1 tab", std::nullopt, false, std::nullopt},
                {"docs.example.test", "docs.example.test", "2 tabs", std::nullopt, false, {}},
                {"www.kept.test", "www.kept.test", "1 tab", std::nullopt, true, {}}}));
}

}  // namespace
}  // namespace kelvane
