#include "platform/linux/disk_host.h"

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/disk/disk_files.h"
#include "core/disk/disk_scanner.h"
#include "core/disk/testing/fake_home.h"
#include "core/shell/tool_locator.h"
#include "core/support/file_io.h"
#include "core/support/hashing.h"
#include "core/support/testing/temp_dir.h"
#include "platform/linux/testing/sleeper.h"

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

#include "core/disk/disk_files.h"
namespace fs = std::filesystem;

// One line per item under `root` with all a scan could change: its path, type and mode,
// owner, size, links, modification and change times, and its link target or a digest of
// its contents. Access times are left out: reading moves them.
std::vector<std::string> treeState(const std::string& root) {
  std::vector<std::string> lines;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    struct stat info {};
    if (::lstat(entry.path().c_str(), &info) != 0) continue;
    std::string what;
    if (S_ISLNK(info.st_mode)) {
      what = fs::read_symlink(entry.path()).string();
    } else if (S_ISREG(info.st_mode)) {
      what = std::to_string(hashValues(readWholeFile(entry.path()).value_or("?")));
    }
    lines.push_back(entry.path().string() + " " + std::to_string(info.st_mode) + " " +
                    std::to_string(info.st_uid) + ":" + std::to_string(info.st_gid) + " " +
                    std::to_string(info.st_size) + " " + std::to_string(info.st_nlink) + " " +
                    std::to_string(info.st_mtim.tv_sec) + "." +
                    std::to_string(info.st_mtim.tv_nsec) + " " +
                    std::to_string(info.st_ctim.tv_sec) + "." +
                    std::to_string(info.st_ctim.tv_nsec) + " " + what);
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Material for every rule, aged so that each finds something to offer.
void furnish(const FakeHome& home) {
  const double old = 60 * kDay;
  for (const char* rel : {"Library/Caches/app/blob",
                          "Library/Logs/old.log",
                          "Library/Developer/Xcode/DerivedData/A/x",
                          ".npm/_cacache/index",
                          ".cargo/registry/cache/index/c.crate",
                          "Downloads/old.zip",
                          ".Trash/old.txt",
                          "Projects/web/package.json",
                          "Projects/web/index.js",
                          "Projects/web/node_modules/dep/i.js",
                          "Projects/tool/Cargo.toml",
                          "Projects/tool/main.rs",
                          "Projects/tool/target/debug/tool",
                          ".nvm/versions/node/v18.0.0/bin/node",
                          ".nvm/versions/node/v20.0.0/bin/node",
                          "Library/Developer/Xcode/iOS DeviceSupport/1/x",
                          "Library/Developer/Xcode/iOS DeviceSupport/2/x",
                          "Library/Developer/Xcode/iOS DeviceSupport/3/x",
                          ".rustup/toolchains/nightly-x86_64-unknown-linux-gnu/lib/x",
                          ".rustup/toolchains/1.70.0-x86_64-unknown-linux-gnu/lib/x"})
    home.file(rel, old, 3000);
  std::ofstream(home.at(".nvm/alias/default")) << "18\n";
  std::ofstream(home.at("Projects/tool/rust-toolchain")) << "1.70.0\n";
  // A stand-in rustup that, like the real one, writes its settings when run.
  const std::string rustup = home.file(".cargo/bin/rustup");
  std::ofstream(rustup) << "#!/bin/sh\nmkdir -p \"$HOME/.rustup\"\n"
                           "echo 'version = \"12\"' > \"$HOME/.rustup/settings.toml\"\n";
  fs::permissions(rustup, fs::perms::owner_all);
  if (const auto git = ToolLocator::find("git", home.path(), "/usr/bin:/bin",
                                         LinuxDiskHost::developerDir)) [[maybe_unused]]
    const auto made = Shell::run({*git, "init", "-q", home.at("Projects/tool")}, std::nullopt, 30);
  for (const auto& entry : fs::recursive_directory_iterator(home.path()))
    if (!entry.path().string().ends_with(".cargo/bin/rustup")) home.setAge(entry.path(), old);
}

TEST(LinuxDiskHost, AScanChangesNothingUnderTheHome) {
  FakeHome home;
  furnish(home);
  Config config = Config::fresh(home.now);
  config.projectRoots = {"~/Projects"};
  const auto before = treeState(home.path());
  const auto scan = DiskScanner::scan(LinuxDiskHost::environment(home.path(), config, home.now));
  EXPECT_EQ(treeState(home.path()), before);
  // The material was there to be found: a cache entry, a log, derived data, a crate, two
  // build folders and a device-support folder (Downloads and the Trash hold only items
  // added just now, by the test).
  size_t items = 0;
  for (const auto& [rule, found] : scan.rules) items += found.items.size();
  EXPECT_EQ(items, 7u);
  EXPECT_FALSE(scan.rules.at(DiskRule::libraries).commands.empty());
}

// Live programs this test starts hold a file in one cache folder and listen on a socket
// in another; only the third folder's entry is offered, and the note names the holders.
TEST(LinuxDiskHost, WhatLiveProgramsHoldIsNeverOffered) {
  FakeHome home;
  const std::string held = home.file("Library/Caches/held/data.db");
  home.file("Library/Caches/idle/data.db");
  home.folder("Library/Caches/sock");
  const std::string sock = fs::canonical(home.at("Library/Caches/sock")).string() + "/s.sock";
  sockaddr_un address{.sun_family = AF_UNIX};
  ASSERT_LT(sock.size(), sizeof address.sun_path);
  sock.copy(address.sun_path, sock.size());
  Sleeper opener([&] { ::open(held.c_str(), O_RDONLY); });
  Sleeper listener([&] {
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(fd, 1);
  });
  ASSERT_TRUE(opener.ready() && listener.ready());
  for (const char* app : {"held", "idle", "sock"})
    home.setAge(home.at(std::string("Library/Caches/") + app), 2 * 3600);
  const auto env = LinuxDiskHost::environment(home.path(), Config::fresh(home.now), home.now);
  Tally tally;
  const auto scan = DiskScanner::caches(env, tally);
  ASSERT_EQ(scan.items.size(), 1u);
  EXPECT_EQ(scan.items[0].path, home.at("Library/Caches/idle/data.db"));
  EXPECT_EQ(scan.note,
            "2 items in use left out, such as ~/Library/Caches/held, open in sleep (pid " +
                std::to_string(opener.pid()) + ")");
}

}  // namespace
}  // namespace kelvane
