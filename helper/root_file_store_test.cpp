#include "helper/root_file_store.h"

#include <filesystem>
#include <sys/stat.h>

#include <gtest/gtest.h>

#include "helper/testing/temp_folder.h"

namespace kelvane {
namespace {

using testing::modeOf;

TEST(RootFileStore, TightensWhatExistsAndFailsOnWhatIsInTheWay) {
  testing::TempFolder tmp;
  ASSERT_EQ(::mkdir((tmp / "open").c_str(), 0755), 0);
  testing::writeText(tmp / "open/saved.plist", "old");
  ASSERT_EQ(::chmod((tmp / "open/saved.plist").c_str(), 0644), 0);
  RootFileStore file(tmp / "open/saved.plist");
  ASSERT_TRUE(file.store({'n', 0, 255}));
  EXPECT_EQ(file.load(), (std::vector<uint8_t>{'n', 0, 255}));
  EXPECT_EQ(modeOf(tmp / "open"), 0700u);
  EXPECT_EQ(modeOf(file.path), 0600u);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp / "open"), {}), 1);
  file.remove();
  file.remove();  // a missing file is fine
  EXPECT_EQ(file.load(), std::nullopt);

  testing::writeText(tmp / "plain", "a file where a folder should be");
  EXPECT_FALSE(RootFileStore(tmp / "plain/saved.plist").store({1}));
  EXPECT_FALSE(RootFileStore(tmp / "open").store({1}));
  for (const char* shared : {"relative.plist", "/kelvane-saved.plist", "/tmp/kelvane-saved.plist"})
    EXPECT_FALSE(RootFileStore(shared).store({1})) << shared;
  EXPECT_EQ(RootFileStore(tmp / "open").load(), std::nullopt);
}

}  // namespace
}  // namespace kelvane
