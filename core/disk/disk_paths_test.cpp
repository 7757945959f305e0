#include "core/disk/disk_paths.h"

#include <filesystem>
#include <fstream>
#include <stdlib.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

namespace fs = std::filesystem;

TEST(DiskPaths, NormalizesPiecesBlanksAndCase) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {" \t/Users/Ann/./Projects/../Library/ \n", "/users/ann/library"},
      {"", "/"},
      {"/..", "/"},
      {"//a//b/", "/a/b"},
      {"\u00a0/Users/\u00c9lodie/\u0160kola/\u0414\u043e\u043c\u2028",
       "/users/\u00e9lodie/\u0161kola/\u0434\u043e\u043c"},
  };
  for (const auto& [path, expected] : cases)
    EXPECT_EQ(DiskPaths::normalized(path), expected) << path;
}

TEST(DiskPaths, ExpandsOnlyALeadingTildePiece) {
  EXPECT_EQ(DiskPaths::expand(" ~ ", "/home/ann"), "/home/ann");
  EXPECT_EQ(DiskPaths::expand("~/Library\n", "/home/ann"), "/home/ann/Library");
  EXPECT_EQ(DiskPaths::expand("~bob/x", "/home/ann"), "~bob/x");
}

TEST(DiskPaths, KeepsTheEntryWhatIsInsideItAndWhatContainsIt) {
  const auto keep =
      DiskPaths::keptEntries({"  ~/Library/Caches/Foo ", " ", "", "\n~ \n"}, "/Users/ann");
  ASSERT_EQ(keep, (std::vector<std::string>{"/users/ann/library/caches/foo", "/users/ann"}));
  const std::vector<std::string> foo = {keep[0]};
  EXPECT_TRUE(DiskPaths::kept("/Users/ann/Library/Caches/Foo", foo));
  EXPECT_TRUE(DiskPaths::kept("/USERS/ann/library/caches/FOO/deep/file", foo));
  EXPECT_TRUE(DiskPaths::kept("/Users/ann/Library/Caches", foo));
  EXPECT_FALSE(DiskPaths::kept("/Users/ann/Library/Caches/Foobar", foo));
  EXPECT_FALSE(DiskPaths::kept("/Users/ann/Library/Caches/Bar", foo));
  EXPECT_TRUE(DiskPaths::kept("/", foo));  // removing "/" would remove everything
}

// A fresh folder with real files and links, removed when the test ends.
class DiskPathsOnDisk : public testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (fs::temp_directory_path() / "kelvane-disk-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    base_ = pattern;
    root_ = base_ + "/root";
    outside_ = base_ + "/outside";
    fs::create_directories(root_ + "/sub");
    fs::create_directories(outside_);
    std::ofstream(outside_ + "/secret") << "x";
    fs::create_directory_symlink(outside_, root_ + "/escape");
    fs::create_symlink(outside_ + "/secret", root_ + "/link");
    fs::create_symlink(base_ + "/nowhere", root_ + "/dangling");
    fs::create_directory_symlink(root_, base_ + "/alias");
  }
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(base_, ignored);  // does not follow the links
  }
  std::string base_, root_, outside_;
};

TEST_F(DiskPathsOnDisk, ExistsSeesDanglingLinksButNotMissingItems) {
  EXPECT_TRUE(DiskPaths::exists(root_ + "/dangling"));
  EXPECT_TRUE(DiskPaths::exists(root_ + "/sub"));
  EXPECT_FALSE(DiskPaths::exists(root_ + "/missing"));
  EXPECT_FALSE(DiskPaths::exists(""));
  EXPECT_FALSE(DiskPaths::exists(root_ + "/sub" + std::string(1, '\0') + "x"));
}

TEST_F(DiskPathsOnDisk, InsideAcceptsItemsWhoseParentResolvesUnderTheRoot) {
  EXPECT_TRUE(DiskPaths::inside(root_ + "/sub", root_));
  EXPECT_TRUE(DiskPaths::inside(root_ + "/sub/not-yet-there", root_));
  EXPECT_TRUE(DiskPaths::inside(root_ + "/link", root_));         // the link, not its target
  EXPECT_TRUE(DiskPaths::inside(base_ + "/alias/sub/x", root_));  // root reached by a link
  EXPECT_TRUE(DiskPaths::inside(root_ + "/sub/x", base_ + "/alias"));
}

TEST_F(DiskPathsOnDisk, InsideRefusesEscapesAndUncleanPaths) {
  const std::vector<std::pair<std::string, std::string>> refused = {
      {root_ + "/escape/secret", root_},  // parent is a link leading out
      {root_ + "/sub/../../outside/secret", root_},
      {root_ + "/sub/..", root_},
      {root_ + "/sub/", root_},
      {root_ + "//sub", root_},
      {root_, root_},  // the root itself
      {outside_ + "/secret", root_},
      {base_ + "/rootling/x", root_},  // a sibling sharing the root's prefix
      {root_ + "/missing/x", root_},   // parent cannot be resolved
      {root_ + "/sub/x", root_ + "/missing"},
      {"root/sub", "root"},
      {root_ + "/sub", "/"},
      {base_ + "/top/etc", base_ + "/top"},  // a root that resolves to "/"
  };
  fs::create_directories(base_ + "/rootling");
  fs::create_directory_symlink("/", base_ + "/top");
  for (const auto& [path, root] : refused) EXPECT_FALSE(DiskPaths::inside(path, root)) << path;
}

}  // namespace
}  // namespace kelvane
