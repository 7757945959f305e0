#include "core/shell/tool_locator.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using DevDir = std::function<std::optional<std::string>()>;

// A fresh folder for the running test; it stands for the home folder.
std::string freshHome() {
  const fs::path home =
      fs::path(testing::TempDir()) /
      ("kelvane-" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
  fs::remove_all(home);
  fs::create_directories(home);
  return home.string();
}

std::string script(const std::string& path, const std::string& body, bool executable = true) {
  fs::create_directories(fs::path(path).parent_path());
  std::ofstream(path) << "#!/bin/sh\n" << body << "\n";
  fs::permissions(path, executable ? fs::perms::owner_all : fs::perms::owner_read);
  return path;
}

TEST(ToolLocator, VersionKeysAreIntegerLists) {
  using Key = std::vector<int64_t>;
  EXPECT_EQ(ToolLocator::versionKey("v20.11.1"), (Key{20, 11, 1}));
  EXPECT_EQ(ToolLocator::versionKey("18.x"), (Key{18, 0}));
  EXPECT_EQ(ToolLocator::versionKey("vv1..-2.+3.99999999999999999999."), (Key{1, -2, 3, 0}));
  EXPECT_LT(ToolLocator::versionKey("v20"), ToolLocator::versionKey("v20.0"));
}

TEST(ToolLocator, DirsKeepPathOrderThenFixedFoldersEachOnce) {
  const std::string h = freshHome();
  std::vector<std::string> fixed = {"/opt/homebrew/bin", "/usr/local/bin"};
  for (const char* dir : {"/.bun/bin", "/.cargo/bin", "/.local/bin", "/.docker/bin"})
    fixed.push_back(h + dir);
  EXPECT_EQ(ToolLocator::dirs(h, std::nullopt), fixed);
  std::vector<std::string> expected = {"/a", "/b", "/usr/local/bin", "/opt/homebrew/bin"};
  expected.insert(expected.end(), fixed.begin() + 2, fixed.end());
  EXPECT_EQ(ToolLocator::dirs(h, "/a::/b:/a:/usr/local/bin:"), expected);
  // The highest node version comes last; of equal versions the first name wins.
  const fs::path node = fs::path(h) / ".nvm/versions/node";
  fs::create_directories(node);
  EXPECT_EQ(ToolLocator::dirs(h, "").size(), 6u);  // an empty folder adds nothing
  for (const char* version : {"v18.19.0", "v20.11.1", "v20.9.0", "v20.2.99", "vv20.11.1"})
    fs::create_directories(node / version);
  EXPECT_EQ(ToolLocator::dirs(h, "").back(), (node / "v20.11.1/bin").string());
}

TEST(ToolLocator, FindTakesTheFirstExecutableFileInSearchOrder) {
  const std::string h = freshHome();
  script(h + "/first/tool", "", /*executable=*/false);
  fs::create_directories(h + "/first/dir");  // a folder is not a tool
  const std::string second = script(h + "/second/tool", "");
  const std::string dir = script(h + "/second/dir", "");
  const std::string cargo = script(h + "/.cargo/bin/tool", "");
  const std::string path = h + "/first:" + h + "/second";
  int asked = 0;
  const DevDir none = [&asked] { return ++asked, std::nullopt; };
  EXPECT_EQ(ToolLocator::find("tool", h, path, none), second);
  EXPECT_EQ(ToolLocator::find("dir", h, path, none), dir);
  EXPECT_EQ(ToolLocator::find("tool", h, std::nullopt, none), cargo);
  for (const char* bad : {"", "missing", "../second/tool", "/tool"})
    EXPECT_EQ(ToolLocator::find(bad, h, path, none), std::nullopt) << bad;
  EXPECT_EQ(asked, 0);  // no candidate lay in /usr/bin

  // The real /usr/bin: its git counts only with developer tools, sh always.
  if (!fs::exists("/usr/bin/git") || ToolLocator::find("git", h, "", none)) GTEST_SKIP();
  const DevDir tools = [&asked] { return ++asked, "/Library/Developer/CommandLineTools"; };
  EXPECT_EQ(ToolLocator::find("git", h, "/usr/bin", none), std::nullopt);
  EXPECT_EQ(ToolLocator::find("git", h, "/usr/bin", tools), "/usr/bin/git");
  EXPECT_EQ(ToolLocator::find("sh", h, "/usr/bin", none), "/usr/bin/sh");
  EXPECT_EQ(asked, 2);
  EXPECT_EQ(ToolLocator::find("git", h, "/usr/bin", none), script(h + "/.local/bin/git", ""));
}

TEST(ToolLocator, EnvironmentPutsTheToolsFolderFirst) {
  const std::string fixed = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
  const ShellEnv env = ToolLocator::environment("/opt/homebrew/bin/git", "/home/u");
  EXPECT_EQ(env, (ShellEnv{{"PATH", "/opt/homebrew/bin:" + fixed},
                           {"HOME", "/home/u"},
                           {"LANG", "en_US.UTF-8"}}));
  EXPECT_EQ(ToolLocator::environment("/git", "/h").at("PATH"), "/:" + fixed);
  EXPECT_EQ(ToolLocator::environment("git", "/h").at("PATH"), fixed);  // no empty piece
}

TEST(ToolLocator, DeveloperDirIsTheToolsAnswerWhenItExists) {
  const std::string h = freshHome();
  const std::string dir = h + "/Xcode.app/Contents/Developer";
  fs::create_directories(dir);
  EXPECT_EQ(ToolLocator::developerDirFrom(script(h + "/a", "echo '  " + dir + "  '")), dir);
  EXPECT_EQ(ToolLocator::developerDirFrom(script(h + "/b", "echo /no/such/folder")), std::nullopt);
  EXPECT_EQ(ToolLocator::developerDirFrom(script(h + "/c", "echo " + dir + "; exit 2")),
            std::nullopt);
  EXPECT_EQ(ToolLocator::developerDirFrom(h + "/absent"), std::nullopt);
  EXPECT_TRUE(fs::exists("/usr/bin/xcode-select") || !ToolLocator::developerDir());
}

}  // namespace
}  // namespace kelvane
