#include "cli/control_lock.h"

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/support/testing/temp_dir.h"

namespace kelvane {
namespace {

TEST(SupportLock, OneHolderAtATimeUntilItLetsGo) {
  TempDir dir;
  const auto folder = dir.path() / "Library" / "Kelvane";  // made when missing
  auto first = SupportLock::take(folder);
  ASSERT_TRUE(first) << first.error().message;
  const auto second = SupportLock::take(folder);
  ASSERT_FALSE(second);
  EXPECT_TRUE(second.error().held);
  { const auto released = std::move(first); }
  EXPECT_TRUE(SupportLock::take(folder));
}

TEST(SupportLock, RefusesWhatIsNotAPlainFileWithoutFollowingIt) {
  TempDir dir;
  const auto lockFile = dir.path() / SupportLock::kFileName;
  ASSERT_EQ(::symlink("/etc/passwd", lockFile.c_str()), 0);
  auto taken = SupportLock::take(dir.path());
  ASSERT_FALSE(taken);
  EXPECT_FALSE(taken.error().held);
  ASSERT_EQ(::unlink(lockFile.c_str()), 0);
  ASSERT_EQ(::mkfifo(lockFile.c_str(), 0600), 0);
  taken = SupportLock::take(dir.path());  // returns at once, no writer awaited
  ASSERT_FALSE(taken);
  EXPECT_EQ(taken.error().message, lockFile.string() + " is not a plain file");
}

}  // namespace
}  // namespace kelvane
