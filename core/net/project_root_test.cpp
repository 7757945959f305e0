#include "core/net/project_root.h"

#include <set>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

const std::set<std::string> kFiles{
    "/Users/ann/code/shop/.git",        "/Users/ann/code/shop/web/package.json",
    "/Users/ann/code/tools/Cargo.toml", "/Users/ann/Documents/notes/.git",
    "/Users/ann/package.json",  // the home folder itself never names a project
};

std::optional<std::string> name(std::string_view path, std::string_view home = "/Users/ann") {
  return ProjectRoot::name(path, home, [](const std::string& p) { return kFiles.contains(p); });
}

TEST(ProjectRootName, NearestMarkedFolderBelowHome) {
  EXPECT_EQ(name("/Users/ann/code/shop/web/src"), "web");
  EXPECT_EQ(name("/Users/ann/code/shop/api/"), "shop");
  EXPECT_EQ(name("/Users/ann/code/tools/target/debug"), "tools");
  EXPECT_EQ(name("/Users/ann/code/shop/web/node_modules/vite/node_modules/esbuild/bin"), "web");
  EXPECT_EQ(name("/Users/ann/code/scratch"), std::nullopt);
  EXPECT_EQ(name("/Users/annex/code/shop"), std::nullopt);
  EXPECT_EQ(name("/Users/ann/code/shop", "/Users/ann/"), "shop");
  EXPECT_EQ(name("/Users/ann/code/shop", ""), std::nullopt);
}

TEST(ProjectRootName, ConsentFoldersAreNeverProbed) {
  int probes = 0;
  const auto probe = [&](const std::string&) { return ++probes > 0; };
  for (const char* path :
       {"/Users/ann/Documents/notes", "/Users/ann/Desktop", "/Users/ann/Downloads/r",
        "/Users/ann/Library/Mobile Documents/com~apple~CloudDocs/p",
        "/Users/ann/Library/Containers/com.example.app/Data",
        "/Users/ann/Library/Group Containers/group.x/y"})
    EXPECT_EQ(ProjectRoot::name(path, "/Users/ann", probe), std::nullopt) << path;
  EXPECT_EQ(probes, 0);
  EXPECT_EQ(ProjectRoot::name("/Users/ann/DocumentsOld/p", "/Users/ann", probe), "p");
}

}  // namespace
}  // namespace kelvane
