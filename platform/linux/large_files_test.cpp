#include "platform/linux/large_files.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "core/support/testing/temp_dir.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;

void write(const fs::path& path, size_t bytes) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
}

TEST(LargeFiles, FindsBigFilesOutsideTrashAndBuildFolders) {
  TempDir home;
  const auto& h = home.path();
  for (const char* rel : {"Movies/big.mov", ".Trash/big.mov", ".local/share/Trash/files/big.mov",
                          "Projects/app/node_modules/big.bin", ".cache/big.bin"})
    write(h / rel, 300'000);
  write(h / "small.txt", 1000);
  fs::resize_file(h / "small.txt", 50'000'000);  // sparse: large length, little allocated
  fs::create_symlink(h / "Movies/big.mov", h / "link.mov");
  const auto found = LargeFiles::find(h.string(), 200'000);
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found[0].path, (h / "Movies/big.mov").string());
  EXPECT_TRUE(found[0].bytes >= 300'000 && found[0].lastUsed > Date::now() - 3600);
  // A file linked under a second name is one file.
  fs::create_hard_link(h / "Movies/big.mov", h / "Movies/again.mov");
  EXPECT_EQ(LargeFiles::find(h.string(), 200'000).size(), 1u);
  // The bound: with room for one item only, the walk stops before reaching the file.
  EXPECT_TRUE(LargeFiles::find(h.string(), 200'000, 1).empty());
  EXPECT_TRUE(LargeFiles::find((h / "missing").string(), 1).empty());
}

}  // namespace
}  // namespace kelvane
