#include "platform/linux/disk_host.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "core/disk/disk_files.h"
#include "core/disk/disk_scanner.h"
#include "core/shell/tool_locator.h"
#include "core/support/testing/temp_dir.h"
#include "platform/linux/testing/trash_home.h"

namespace kelvane {
namespace {

TEST(LinuxDiskHost, EnvironmentFollowsTheSettingsAndFindsAndRunsRealTools) {
  TempDir home;
  const std::string h = home.path().string();
  Config config = Config::fresh(Date(0));
  config.projectRoots = {" ~/Code\n", "/srv/src", ""};
  config.ignoredFiles = {"~/big.iso"};
  const auto env = LinuxDiskHost::environment(h, config, Date(5));
  EXPECT_EQ(env.projectRoots, (std::vector<std::string>{h + "/Code", "/srv/src"}));
  EXPECT_EQ(env.ignored, std::set<std::string>{h + "/big.iso"});
  EXPECT_FALSE(env.runningNames.empty());  // this test itself runs
  // Tools run in their own environment, where HOME is the scanned home.
  const auto result = env.run({env.tool("sh").value_or("none"), "-c", "echo \"$HOME\""});
  EXPECT_EQ(result.value_or(ShellResult{}).out, h + "\n");
  // Where xcode-select is absent the default answer would skip /usr/bin/git.
  if (::access("/usr/bin/git", X_OK) != 0) GTEST_SKIP() << "git is not in /usr/bin here";
  EXPECT_EQ(ToolLocator::find("git", "/nonexistent", "/usr/bin", LinuxDiskHost::developerDir),
            "/usr/bin/git");
}

// The Old Trash rule reads the freedesktop Trash, each item dated by its deletion
// (an item moved in keeps older file dates, and its change time says little).
TEST(LinuxDiskHost, OldTrashIsTheFreedesktopTrashDatedByDeletion) {
  if (const char* set = std::getenv("XDG_DATA_HOME"); set && *set)
    GTEST_SKIP() << "XDG_DATA_HOME is set, so the Trash is not below the test's home";
  TrashHome home;
  const Date now = Date::now();
  for (const auto& [name, days] : std::vector<std::pair<std::string, double>>{
           {"old.iso", 31}, {"recent.iso", 29}, {"also old", 45}})
    ASSERT_TRUE(trashPath(FreedesktopTrash(home.trash(), ::geteuid(), Calendar::current()),
                          home.file("Downloads/" + name), now - days * 86400));
  home.file(".local/share/Trash/files/orphan");  // no description: dated as it arrived, now
  home.file(".Trash/ignored");                   // not the Trash here
  const auto env = LinuxDiskHost::environment(home.path().string(), Config::fresh(now), now);
  HardLinks links;
  const auto [scan, readable] = DiskScanner::trash(env, links);
  EXPECT_TRUE(readable);
  std::vector<std::string> found;
  for (const auto& item : scan.items) found.push_back(item.path.substr(item.path.rfind('/') + 1));
  EXPECT_EQ(found, (std::vector<std::string>{"also old", "old.iso"}));
}

}  // namespace
}  // namespace kelvane
