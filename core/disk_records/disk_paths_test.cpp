#include "core/disk_records/disk_paths.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "core/support/testing/temp_dir.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;

TEST(DiskPaths, NormalizesAndExpandsOnlyALeadingTildePiece) {
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
  EXPECT_EQ(DiskPaths::expand(" ~ ", "/home/ann"), "/home/ann");
  EXPECT_EQ(DiskPaths::expand("~/Library\n", "/home/ann"), "/home/ann/Library");
  EXPECT_EQ(DiskPaths::expand("~bob/x", "/home/ann"), "~bob/x");
}

TEST(DiskPaths, KeepsTheEntryWhatIsInsideItAndWhatContainsIt) {
  const auto keep =
      DiskPaths::keptEntries({"  ~/Library/Caches/Foo ", " ", "", "\n~ \n"}, "/Users/ann");
  ASSERT_EQ(keep, (std::vector<std::string>{"/users/ann/library/caches/foo", "/users/ann"}));
  const std::vector<std::string> foo = {keep[0]};
  for (const auto& [path, kept] : std::vector<std::pair<std::string, bool>>{
           {"/Users/ann/Library/Caches/Foo", true},
           {"/USERS/ann/library/caches/FOO/deep/file", true},
           {"/Users/ann/Library/Caches", true},
           {"/Users/ann/Library/Caches/Foobar", false},
           {"/Users/ann/Library/Caches/Bar", false},
           {"/", true}})  // removing "/" would remove everything
    EXPECT_EQ(DiskPaths::kept(path, foo), kept) << path;
}

// Real files and links under a fresh folder: root/sub, outside/secret, links between them.
TEST(DiskPaths, ExistsAndInsideResolveRealLinks) {
  TempDir dir;
  const std::string base = dir.path().string(), root = base + "/root", out = base + "/outside";
  fs::create_directories(root + "/sub");
  fs::create_directories(base + "/rootling");
  fs::create_directories(out);
  std::ofstream(out + "/secret") << "x";
  fs::create_directory_symlink(out, root + "/escape");
  fs::create_symlink(out + "/secret", root + "/link");
  fs::create_symlink(base + "/nowhere", root + "/dangling");
  fs::create_directory_symlink(root, base + "/alias");
  fs::create_directory_symlink("/", base + "/top");

  EXPECT_TRUE(DiskPaths::exists(root + "/dangling"));
  EXPECT_TRUE(DiskPaths::exists(root + "/sub"));
  for (const std::string& missing : {root + "/missing", std::string(), root + "/sub" + '\0' + "x"})
    EXPECT_FALSE(DiskPaths::exists(missing)) << missing;

  const std::vector<std::tuple<std::string, std::string, bool>> cases = {
      {root + "/sub", root, true},
      {root + "/sub/not-yet-there", root, true},
      {root + "/link", root, true},         // the link, not its target
      {base + "/alias/sub/x", root, true},  // root reached by a link
      {root + "/sub/x", base + "/alias", true},
      {root + "/escape/secret", root, false},  // parent is a link leading out
      {root + "/sub/../../outside/secret", root, false},
      {root + "/sub/..", root, false},
      {root + "/sub/", root, false},
      {root + "//sub", root, false},
      {root, root, false},  // the root itself
      {out + "/secret", root, false},
      {base + "/rootling/x", root, false},  // a sibling sharing the root's prefix
      {root + "/missing/x", root, false},   // parent cannot be resolved
      {root + "/sub/x", root + "/missing", false},
      {"root/sub", "root", false},
      {root + "/sub", "/", false},
      {base + "/top/etc", base + "/top", false},  // a root that resolves to "/"
  };
  for (const auto& [path, inRoot, inside] : cases)
    EXPECT_EQ(DiskPaths::inside(path, inRoot), inside) << path << " in " << inRoot;
}

}  // namespace
}  // namespace kelvane
