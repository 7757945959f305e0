#include "helper/root_file_store.h"

#include <filesystem>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "helper/testing/temp_folder.h"

namespace kelvane {
namespace {

using testing::TempFolder;

mode_t modeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

TEST(RootFileStore, CreatesPrivateFoldersAndAPrivateFile) {
  TempFolder tmp;
  RootFileStore file(tmp / "Application Support/Kelvane/proxy-saved.plist");
  EXPECT_EQ(file.load(), std::nullopt);
  const std::vector<uint8_t> bytes = {'b', 'p', 0, 255};
  ASSERT_TRUE(file.store(bytes));
  EXPECT_EQ(file.load(), bytes);
  EXPECT_EQ(modeOf(tmp / "Application Support"), 0700u);
  EXPECT_EQ(modeOf(tmp / "Application Support/Kelvane"), 0700u);
  EXPECT_EQ(modeOf(file.path), 0600u);
  file.remove();
  EXPECT_EQ(file.load(), std::nullopt);
  file.remove();  // a missing file is fine
}

TEST(RootFileStore, TightensWhatExistsAndLeavesNoTemporaryFiles) {
  TempFolder tmp;
  ASSERT_EQ(::mkdir((tmp / "open").c_str(), 0755), 0);
  testing::writeText(tmp / "open/saved.plist", "old");
  ASSERT_EQ(::chmod((tmp / "open/saved.plist").c_str(), 0644), 0);
  RootFileStore file(tmp / "open/saved.plist");
  ASSERT_TRUE(file.store({'n', 'e', 'w'}));
  EXPECT_EQ(testing::readText(file.path), "new");
  EXPECT_EQ(modeOf(tmp / "open"), 0700u);
  EXPECT_EQ(modeOf(file.path), 0600u);
  int entries = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(tmp / "open"))
    ++entries;
  EXPECT_EQ(entries, 1);
}

TEST(RootFileStore, FailsWhenTheFolderCannotBeMade) {
  TempFolder tmp;
  testing::writeText(tmp / "plain", "a file where a folder should be");
  RootFileStore file(tmp / "plain/saved.plist");
  EXPECT_FALSE(file.store({1}));
  EXPECT_EQ(testing::readText(tmp / "plain"), "a file where a folder should be");
  ASSERT_EQ(::mkdir((tmp / "folder.plist").c_str(), 0700), 0);
  RootFileStore onAFolder(tmp / "folder.plist");
  EXPECT_EQ(onAFolder.load(), std::nullopt);
  EXPECT_FALSE(onAFolder.store({1}));
}

}  // namespace
}  // namespace kelvane
