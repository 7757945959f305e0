#include "platform/linux/safe_remove.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "platform/linux/testing/trash_home.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;

// Runs SafeRemove::at as `uid` in a child; true when it reported the item gone.
bool removeAs(uid_t uid, gid_t gid, const fs::path& item) {
  const pid_t child = ::fork();
  if (child == 0) {
    if (::setgroups(0, nullptr) != 0 || ::setgid(gid) != 0 || ::setuid(uid) != 0) ::_exit(2);
    const int folder = ::open(item.parent_path().c_str(), O_RDONLY | O_DIRECTORY);
    ::_exit(SafeRemove::at(folder, item.filename().string()) ? 1 : 0);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// A user's own caches may forbid writing (Go's module cache) or even reading; they
// are opened up and removed, which root alone would not show.
TEST(SafeRemove, OurOwnReadOnlyAndLockedFoldersGoToo) {
  const passwd* nobody = ::getpwnam("nobody");
  if (::geteuid() != 0 || !nobody) GTEST_SKIP() << "needs root to act as the user nobody";
  TrashHome home;
  home.file("cache/mod/pkg@v1/go.mod");
  home.file("cache/locked/inner/f");
  for (const auto& entry : fs::recursive_directory_iterator(home.path() / "cache"))
    ::lchown(entry.path().c_str(), nobody->pw_uid, nobody->pw_gid);
  ::chown((home.path() / "cache").c_str(), nobody->pw_uid, nobody->pw_gid);
  fs::permissions(home.path(), fs::perms::all);  // nobody may pass through the test's folder
  fs::permissions(home.path() / "cache/mod/pkg@v1", fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(home.path() / "cache/mod", fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(home.path() / "cache/locked", fs::perms::none);
  EXPECT_TRUE(removeAs(nobody->pw_uid, nobody->pw_gid, home.path() / "cache/mod"));
  EXPECT_TRUE(removeAs(nobody->pw_uid, nobody->pw_gid, home.path() / "cache/locked"));
  EXPECT_FALSE(fs::exists(home.path() / "cache/mod"));
  EXPECT_FALSE(fs::exists(home.path() / "cache/locked"));
}

TEST(SafeRemove, AMountedFileSystemInsideIsLeftAlone) {
  TrashHome home;
  home.file("cache/app/mnt/keep");
  const auto mountPoint = home.path() / "cache/app/mnt";
  if (::geteuid() != 0 ||
      ::mount(mountPoint.c_str(), mountPoint.c_str(), nullptr, MS_BIND, nullptr) != 0)
    GTEST_SKIP() << "a bind mount needs root";
  home.file("cache/app/mnt/also");  // on the mounted file system
  const int folder = ::open((home.path() / "cache").c_str(), O_RDONLY | O_DIRECTORY);
  EXPECT_EQ(SafeRemove::at(folder, "app"), "a file system is mounted inside");
  ::close(folder);
  EXPECT_TRUE(fs::exists(mountPoint / "also"));
  ::umount2(mountPoint.c_str(), MNT_DETACH);
}

}  // namespace
}  // namespace kelvane
