#include "core/proc/protected_summary.h"

#include <gtest/gtest.h>

namespace kelvane {
namespace {

using Kind = ProtectedRow::Kind;
constexpr uint32_t kMe = 501;

Proc proc(int32_t pid, std::string name, std::string path, uint64_t rss = 0, uint32_t uid = kMe) {
  return {.pid = pid, .uid = uid, .name = std::move(name), .path = std::move(path), .rss = rss};
}

TEST(ProtectedSummary, CountsEachReasonInDisplayOrder) {
  const std::string finder = "/System/Library/CoreServices/Finder.app/Contents/MacOS/Finder";
  Snapshot s{.me = kMe, .frontPID = 40};
  s.apps = {{.pid = 30, .name = "Finder"},
            {.pid = 40, .name = "Mail", .bundlePath = "/Applications/Mail.app"}};
  s.procs = {
      proc(10, "ghost", ""),                                                   // unknown
      proc(20, "helper", "/Applications/Mail.app/Contents/XPC/helper", 5),     // helpers
      proc(21, "sim", "/x/Library/Developer/CoreSimulator/Devices/y/app", 9),  // helpers
      proc(30, "Finder", finder, 50),                                          // core
      proc(40, "Mail", "/Applications/Mail.app/Contents/MacOS/Mail", 70),      // in use
      proc(50, "launchd", "/sbin/launchd", 1, 0),                              // other user
      proc(60, "cfprefsd", "/usr/sbin/cfprefsd", 3),                           // system
      proc(70, "tool", "/opt/tool"),                                           // none
  };
  EXPECT_EQ(ProtectedSummary::rows(s), (std::vector<ProtectedRow>{
                                           {Kind::otherUsers, 1, {"launchd"}},
                                           {Kind::system, 1, {"cfprefsd"}},
                                           {Kind::core, 1, {"Finder"}},
                                           {Kind::helpers, 2, {"sim", "helper"}},  // largest first
                                           {Kind::inUse, 1, {"Mail"}},
                                           {Kind::unknown, 1, {"ghost"}},
                                       }));
}

TEST(ProtectedSummary, DistinctExamplesLargestFirstAndAlwaysCoreAndInUseRows) {
  Snapshot s{.me = kMe};
  s.procs = {proc(1, "a", "/p", 10, 0), proc(2, "b", "/p", 50, 0), proc(3, "a", "/p", 40, 0),
             proc(4, "c", "/p", 30, 0), proc(5, "e", "/p", 30, 0), proc(6, "d", "/p", 20, 0)};
  EXPECT_EQ(
      ProtectedSummary::rows(s),
      (std::vector<ProtectedRow>{
          {Kind::otherUsers, 6, {"b", "a", "c"}}, {Kind::core, 0, {}}, {Kind::inUse, 0, {}}}));
}

}  // namespace
}  // namespace kelvane
