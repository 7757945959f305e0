#include "core/proc/proc_groups.h"

#include <limits>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

Proc proc(int32_t pid, std::string path, uint64_t rss = 0) {
  return {.pid = pid, .path = std::move(path), .rss = rss};
}

const std::string kXcode = "/Applications/Xcode.app";
const std::string kSimulator = kXcode + "/Contents/Developer/Applications/Simulator.app";

TEST(ProcGroupsFold, HelpersJoinTheInnermostBundleInProcessOrder) {
  const std::vector<Proc> procs{
      proc(30, kSimulator + "/Contents/MacOS/SimHelper"),
      proc(20, kSimulator + "/Contents/MacOS/Simulator"),  // an application inside another
      proc(31, kXcode + "/Contents/SharedFrameworks/tool"),
      proc(10, kXcode + "/Contents/MacOS/Xcode"),
      proc(32, kSimulator),                         // the bundle folder itself is only inside Xcode
      proc(33, kXcode + "2/Contents/MacOS/other"),  // a look-alike folder
      proc(34, "/Applications/Gone.app/Contents/MacOS/helper"),
      proc(40, "/opt/tool"),
  };
  const std::vector<RunningApp> apps{{.pid = 10, .bundlePath = kXcode},
                                     {.pid = 20, .bundlePath = kSimulator},
                                     {.pid = 40},  // no bundle
                                     {.pid = 50, .bundlePath = "/Applications/Gone.app"},
                                     {.pid = 60, .bundlePath = "/"}};
  EXPECT_EQ(ProcGroups::fold(procs, apps),
            (std::vector<ProcGroup>{{.main = procs[1], .helpers = {procs[0]}},
                                    {.main = procs[3], .helpers = {procs[2], procs[4]}},
                                    {.main = procs[7]}}));
  // Of two equally long bundle paths the first application's wins.
  EXPECT_EQ(ProcGroups::fold({procs[3], procs[2]}, {apps[0], {.pid = 10, .bundlePath = kXcode}}),
            (std::vector<ProcGroup>{{.main = procs[3], .helpers = {procs[2]}}}));
}

TEST(ProcGroup, PidsAndSaturatingMemory) {
  const ProcGroup group{.main = proc(7, "/a", 100),
                        .helpers = {proc(9, "/b", 20), proc(8, "/c", 3)}};
  EXPECT_EQ(group.pids(), (std::vector<int32_t>{7, 9, 8}));
  EXPECT_EQ(group.rss(), 123u);
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();
  EXPECT_EQ((ProcGroup{.main = proc(1, "/a", kMax - 1), .helpers = {proc(2, "/b", 5)}}).rss(),
            kMax);
}

}  // namespace
}  // namespace kelvane
