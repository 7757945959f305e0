#include "platform/linux/disk_host.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include "core/shell/tool_locator.h"
#include "core/support/testing/temp_dir.h"

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

}  // namespace
}  // namespace kelvane
