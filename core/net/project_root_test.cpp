#include "core/net/project_root.h"

#include <set>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

const std::set<std::string> kFiles{
    "/Users/ann/code/shop/.git",
    "/Users/ann/code/shop/web/package.json",
    "/Users/ann/code/tools/Cargo.toml",
    "/Users/ann/code/tools/.git",
    "/Users/ann/Documents/notes/.git",
    "/Users/ann/package.json",  // the home folder itself never names a project
    "/Users/package.json",
};

std::optional<std::string> name(std::string_view path, std::string_view home = "/Users/ann") {
  return ProjectRoot::name(path, home, [](const std::string& p) { return kFiles.contains(p); });
}

TEST(ProjectRootName, NearestMarkedFolderBelowHome) {
  EXPECT_EQ(name("/Users/ann/code/shop/web/src"), "web");
  EXPECT_EQ(name("/Users/ann/code/shop/api"), "shop");
  EXPECT_EQ(name("/Users/ann/code/shop"), "shop");
  EXPECT_EQ(name("/Users/ann/code/shop/"), "shop");
  EXPECT_EQ(name("/Users/ann/code/tools/target/debug"), "tools");
  EXPECT_EQ(name("/Users/ann/code/scratch"), std::nullopt);
  EXPECT_EQ(name("/Users/ann"), std::nullopt);
  EXPECT_EQ(name("/Users/annex/code/shop"), std::nullopt);
  EXPECT_EQ(name("/opt/homebrew/bin"), std::nullopt);
  EXPECT_EQ(name("/Users/ann/code/shop/web/src", "/Users/ann/"), "web");
  EXPECT_EQ(name("/Users/ann/code/shop", ""), std::nullopt);
}

TEST(ProjectRootName, NodeModulesBelongToTheirPackage) {
  EXPECT_EQ(name("/Users/ann/code/shop/web/node_modules/.bin"), "web");
  EXPECT_EQ(name("/Users/ann/code/shop/web/node_modules/vite/node_modules/esbuild/bin"), "web");
}

TEST(ProjectRootName, ConsentFoldersAreNeverProbed) {
  std::vector<std::string> probed;
  const auto record = [&](const std::string& p) {
    probed.push_back(p);
    return true;
  };
  for (const char* path :
       {"/Users/ann/Documents/notes", "/Users/ann/Documents", "/Users/ann/Desktop/x",
        "/Users/ann/Downloads/repo", "/Users/ann/Library/Mobile Documents/com~apple~CloudDocs/p",
        "/Users/ann/Library/Containers/com.example.app/Data",
        "/Users/ann/Library/Group Containers/group.x/y"})
    EXPECT_EQ(ProjectRoot::name(path, "/Users/ann", record), std::nullopt) << path;
  EXPECT_TRUE(probed.empty());
  // Neighbours with a longer name are not consent folders.
  EXPECT_EQ(ProjectRoot::name("/Users/ann/DocumentsOld/p", "/Users/ann", record), "p");
}

}  // namespace
}  // namespace kelvane
