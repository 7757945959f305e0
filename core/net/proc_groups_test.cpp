#include "core/net/proc_groups.h"

#include <limits>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

Proc proc(int32_t pid, std::string path, uint64_t rss = 0) {
  return {.pid = pid, .name = path.substr(path.rfind('/') + 1), .path = path, .rss = rss};
}

RunningApp app(int32_t pid, std::optional<std::string> bundlePath) {
  return {.pid = pid, .name = "app" + std::to_string(pid), .bundlePath = std::move(bundlePath)};
}

const std::string kXcode = "/Applications/Xcode.app";
const std::string kSimulator = kXcode + "/Contents/Developer/Applications/Simulator.app";

TEST(ProcGroupsFold, HelpersJoinTheInnermostBundle) {
  const std::vector<Proc> procs{
      proc(30, kSimulator + "/Contents/MacOS/SimHelper"),
      proc(20, kSimulator + "/Contents/MacOS/Simulator"),
      proc(31, kXcode + "/Contents/SharedFrameworks/tool"),
      proc(10, kXcode + "/Contents/MacOS/Xcode"),
      proc(32, kXcode + "/Contents/Developer/Applications/Simulator.app"),  // the folder itself
      proc(33, "/Applications/Xcode.app2/Contents/MacOS/other"),            // not inside
      proc(34, "/usr/libexec/daemon"),
  };
  const auto groups = ProcGroups::fold(procs, {app(10, kXcode), app(20, kSimulator)});
  ASSERT_EQ(groups.size(), 2u);
  // Groups follow the order of the processes, and so do helpers.
  EXPECT_EQ(groups[0], (ProcGroup{.main = procs[1], .helpers = {procs[0]}}));
  EXPECT_EQ(groups[1], (ProcGroup{.main = procs[3], .helpers = {procs[2], procs[4]}}));
}

TEST(ProcGroupsFold, ApplicationsAreNeverHelpersAndAbsentOnesMakeNoGroup) {
  const std::vector<Proc> procs{
      proc(10, kXcode + "/Contents/MacOS/Xcode"),
      proc(20, kSimulator + "/Contents/MacOS/Simulator"),  // an app inside another app
      proc(40, "/opt/tool"),                               // app without a bundle path
      proc(51, "/Applications/Gone.app/Contents/MacOS/helper"),
  };
  const std::vector<RunningApp> apps{app(10, kXcode), app(20, std::nullopt), app(40, std::nullopt),
                                     app(50, "/Applications/Gone.app")};
  const auto groups = ProcGroups::fold(procs, apps);
  ASSERT_EQ(groups.size(), 3u);
  for (size_t i = 0; i < groups.size(); ++i) {
    EXPECT_EQ(groups[i].main, procs[i]);
    EXPECT_TRUE(groups[i].helpers.empty()) << i;
  }
}

TEST(ProcGroupsFold, EquallyLongBundlesGoToTheFirstAndBadPathsClaimNothing) {
  const std::vector<Proc> procs{proc(1, kXcode + "/x"), proc(2, kXcode + "/y"),
                                proc(3, kXcode + "/Contents/z"), proc(4, "/bin/sh")};
  const auto groups =
      ProcGroups::fold(procs, {app(1, kXcode + "/"), app(2, kXcode), app(4, "/"), app(5, "")});
  ASSERT_EQ(groups.size(), 3u);
  EXPECT_EQ(groups[0].helpers, std::vector<Proc>{procs[2]});
  EXPECT_TRUE(groups[1].helpers.empty());
  EXPECT_TRUE(groups[2].helpers.empty());
}

TEST(ProcGroup, PidsAndMemoryCoverEveryMember) {
  const ProcGroup group{.main = proc(7, "/a", 100),
                        .helpers = {proc(9, "/b", 20), proc(8, "/c", 3)}};
  EXPECT_EQ(group.pids(), (std::vector<int32_t>{7, 9, 8}));
  EXPECT_EQ(group.rss(), 123u);
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  const ProcGroup huge{.main = proc(1, "/a", kMax - 1),
                       .helpers = {proc(2, "/b", 5), proc(3, "/c")}};
  EXPECT_EQ(huge.rss(), kMax);
}

}  // namespace
}  // namespace kelvane
