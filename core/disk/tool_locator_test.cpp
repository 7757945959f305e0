#include "core/disk/tool_locator.h"

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

namespace fs = std::filesystem;

// A fresh folder that stands for the home folder and holds any other folders a test needs.
class ToolLocatorTest : public testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(testing::TempDir()) /
            ("kelvane-tools-" +
             std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(root_);
    fs::create_directories(root_);
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string home() const { return root_.string(); }
  std::string makeTool(const std::string& relative, bool executable = true) const {
    const fs::path path = root_ / relative;
    fs::create_directories(path.parent_path());
    std::ofstream(path) << "#!/bin/sh\n" << text_ << "\n";
    fs::permissions(path, executable ? fs::perms::owner_all : fs::perms::owner_read);
    return path.string();
  }

  fs::path root_;
  std::string text_ = "exit 0";
};

std::function<std::optional<std::string>()> fixedDir(std::optional<std::string> dir, int& asked) {
  return [dir, &asked] {
    ++asked;
    return dir;
  };
}

TEST(ToolLocatorVersionKey, ParsesAndOrdersAsIntegerLists) {
  using Key = std::vector<int64_t>;
  EXPECT_EQ(ToolLocator::versionKey("v20.11.1"), (Key{20, 11, 1}));
  EXPECT_EQ(ToolLocator::versionKey("18.x"), (Key{18, 0}));
  EXPECT_EQ(ToolLocator::versionKey("vv1..2."), (Key{1, 2}));
  EXPECT_EQ(ToolLocator::versionKey("v"), Key{});
  EXPECT_EQ(ToolLocator::versionKey("1.-2.+3.99999999999999999999"), (Key{1, -2, 3, 0}));
  EXPECT_LT(ToolLocator::versionKey("v20.9.0"), ToolLocator::versionKey("v20.11.1"));
  EXPECT_LT(ToolLocator::versionKey("v20"), ToolLocator::versionKey("v20.0"));
  EXPECT_LT(ToolLocator::versionKey("v9.99"), ToolLocator::versionKey("v10"));
}

TEST_F(ToolLocatorTest, DirsKeepPathOrderThenFixedFoldersEachOnce) {
  const std::string h = home();
  const std::vector<std::string> fixed = {"/opt/homebrew/bin", "/usr/local/bin",
                                          h + "/.bun/bin",     h + "/.cargo/bin",
                                          h + "/.local/bin",   h + "/.docker/bin"};
  EXPECT_EQ(ToolLocator::dirs(h, std::nullopt), fixed);
  EXPECT_EQ(ToolLocator::dirs(h, ":"), fixed);
  // Empty pieces are dropped and a folder named twice keeps its first place.
  const std::vector<std::string> expected = {"/a",
                                             "/b",
                                             "/usr/local/bin",
                                             "/opt/homebrew/bin",
                                             h + "/.bun/bin",
                                             h + "/.cargo/bin",
                                             h + "/.local/bin",
                                             h + "/.docker/bin"};
  EXPECT_EQ(ToolLocator::dirs(h, "/a::/b:/a:/usr/local/bin:"), expected);
}

TEST_F(ToolLocatorTest, DirsEndWithTheHighestNodeVersion) {
  const fs::path node = root_ / ".nvm/versions/node";
  fs::create_directories(node);
  EXPECT_EQ(ToolLocator::dirs(home(), "").size(), 6u);  // an empty folder adds nothing
  for (const char* version : {"v18.19.0", "v20.11.1", "v20.9.0", "v20.2.99"})
    fs::create_directories(node / version);
  EXPECT_EQ(ToolLocator::dirs(home(), "").back(), (node / "v20.11.1/bin").string());
  fs::create_directories(node / "20.11.1");  // the same version: the first name wins
  EXPECT_EQ(ToolLocator::dirs(home(), "").back(), (node / "20.11.1/bin").string());
}

TEST_F(ToolLocatorTest, FindTakesTheFirstExecutableFileInSearchOrder) {
  makeTool("first/tool", /*executable=*/false);
  fs::create_directories(root_ / "first/folder");  // a folder is not a tool
  const std::string second = makeTool("second/tool");
  makeTool("second/folder");
  const std::string cargo = makeTool(".cargo/bin/tool");
  const std::string path = (root_ / "first").string() + ":" + (root_ / "second").string();
  int asked = 0;
  const auto dir = fixedDir(std::nullopt, asked);
  EXPECT_EQ(ToolLocator::find("tool", home(), path, dir), second);
  EXPECT_EQ(ToolLocator::find("tool", home(), std::nullopt, dir), cargo);
  EXPECT_EQ(ToolLocator::find("folder", home(), path, dir), (root_ / "second/folder").string());
  for (const char* bad : {"", "missing", "../second/tool", "/tool"})
    EXPECT_EQ(ToolLocator::find(bad, home(), path, dir), std::nullopt) << bad;
  EXPECT_EQ(asked, 0);  // no candidate lay in /usr/bin
}

// "/usr/bin" is the real one here: the rule for its stand-ins needs a tool that is there
// and not in the fixed folders searched after it.
TEST_F(ToolLocatorTest, FindTrustsUsrBinStandInsOnlyWithDeveloperTools) {
  const auto onlyInUsrBin = [this](const char* name) {
    return fs::exists(std::string("/usr/bin/") + name) &&
           ToolLocator::find(name, home(), "/nowhere", nullptr) == std::nullopt;
  };
  if (!onlyInUsrBin("git") || !onlyInUsrBin("sh"))
    GTEST_SKIP() << "needs /usr/bin/git, /usr/bin/sh";
  int asked = 0;
  EXPECT_EQ(ToolLocator::find("git", home(), "/usr/bin", fixedDir(std::nullopt, asked)),
            std::nullopt);
  EXPECT_EQ(ToolLocator::find("git", home(), "/usr/bin",
                              fixedDir("/Library/Developer/CommandLineTools", asked)),
            "/usr/bin/git");
  EXPECT_EQ(asked, 2);
  // An ordinary tool in /usr/bin is taken without asking.
  EXPECT_EQ(ToolLocator::find("sh", home(), "/usr/bin", fixedDir(std::nullopt, asked)),
            "/usr/bin/sh");
  EXPECT_EQ(asked, 2);
  // A stand-in further on is skipped, and the search goes on to the later folders.
  const std::string later = makeTool(".local/bin/git");
  EXPECT_EQ(ToolLocator::find("git", home(), "/usr/bin", fixedDir(std::nullopt, asked)), later);
}

TEST(ToolLocatorEnvironment, PutsTheToolsFolderFirst) {
  const std::string fixed = "/opt/homebrew/bin:/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin";
  const ShellEnv expected = {
      {"PATH", "/opt/homebrew/bin:" + fixed}, {"HOME", "/home/u"}, {"LANG", "en_US.UTF-8"}};
  EXPECT_EQ(ToolLocator::environment("/opt/homebrew/bin/git", "/home/u"), expected);
  EXPECT_EQ(ToolLocator::environment("/git", "/h").at("PATH"), "/:" + fixed);
  EXPECT_EQ(ToolLocator::environment("git", "/h").at("PATH"), fixed);  // no empty piece
}

TEST_F(ToolLocatorTest, DeveloperDirIsTheToolsAnswerWhenItExists) {
  const std::string dir = (root_ / "Xcode.app/Contents/Developer").string();
  fs::create_directories(dir);
  text_ = "echo '  " + dir + "  '";
  EXPECT_EQ(ToolLocator::developerDirFrom(makeTool("answers")), dir);
  text_ = "echo /no/such/folder";
  EXPECT_EQ(ToolLocator::developerDirFrom(makeTool("wrong")), std::nullopt);
  text_ = "echo '" + dir + "'; exit 2";
  EXPECT_EQ(ToolLocator::developerDirFrom(makeTool("fails")), std::nullopt);
  text_ = "echo";
  EXPECT_EQ(ToolLocator::developerDirFrom(makeTool("empty")), std::nullopt);
  EXPECT_EQ(ToolLocator::developerDirFrom((root_ / "absent").string()), std::nullopt);
  if (!fs::exists("/usr/bin/xcode-select")) {
    EXPECT_EQ(ToolLocator::developerDir(), std::nullopt);
  }
}

}  // namespace
}  // namespace kelvane
