#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "core/disk/disk_paths.h"
#include "core/disk/disk_scanner.h"
#include "core/disk/shell.h"
#include "core/disk/testing/fake_home.h"
#include "core/disk/tool_locator.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using namespace DiskScanner;
constexpr double kDay = FakeHome::kDay;

// A project whose every file and folder was last touched `age` seconds ago.
void project(const FakeHome& home, const std::string& rel, const std::string& marker,
             const std::vector<std::string>& files, double age) {
  home.file(rel + "/" + marker, age);
  for (const auto& f : files) home.file(rel + "/" + f, age);
  for (const auto& entry : fs::recursive_directory_iterator(home.at(rel)))
    home.setAge(entry.path().string(), age);
}

DiskRuleScan buildsOf(const DiskEnvironment& env) {
  HardLinks links;
  return builds(env, links);
}

std::optional<ShellResult> runFor(const std::string& home, const std::vector<std::string>& args) {
  return Shell::run(args, ToolLocator::environment(args.at(0), home), 10);
}

TEST(DiskScannerBuilds, StaleProjectsLoseTheirBuildFolders) {
  FakeHome home;
  project(home, "Projects/web", "package.json", {"index.js", "node_modules/a/i.js", "dist/x.js"},
          40 * kDay);
  project(home, "Projects/native", "CMakeLists.txt", {"main.c", "Build/main.o"}, 40 * kDay);
  project(home, "Projects/fresh", "Cargo.toml", {"target/debug/x", "src/main.rs"}, 40 * kDay);
  home.file("Projects/fresh/src/lib.rs", kDay);
  project(home, "Projects/odd", "package.json", {"node_modules/.git/HEAD", "target/x"}, 40 * kDay);
  auto env = home.env();
  env.projectRoots.push_back(home.at("Projects/web"));  // reaches web twice
  const auto scan = buildsOf(env);
  std::vector<std::string> found;
  for (const auto& item : scan.items) found.push_back(item.path);
  EXPECT_EQ(found, (std::vector<std::string>{home.at("Projects/native/Build"),
                                             home.at("Projects/web/dist"),
                                             home.at("Projects/web/node_modules")}));
  EXPECT_EQ(scan.items[0],
            (DiskItem{home.at("Projects/native/Build"), home.at("Projects/native"),
                      scan.items[0].bytes, std::nullopt, home.at("Projects/native")}));
  EXPECT_GT(scan.items[0].bytes, 0);
}

TEST(DiskScannerBuilds, InGitOnlyFoldersWithoutTrackedFiles) {
  const auto git = ToolLocator::find("git", "/nonexistent", "/usr/bin:/bin:/usr/local/bin",
                                     [] { return std::optional<std::string>("/usr"); });
  if (!git) GTEST_SKIP() << "git is not installed: the git case of stale builds is not tested";
  FakeHome home;
  project(home, "Projects/repo/app", "package.json", {"node_modules/vendored.js", "main.js"},
          40 * kDay);
  project(home, "Projects/repo/lib", "package.json", {"NODE_MODULES/dep.js", "main.js"}, 40 * kDay);
  const std::string repo = home.at("Projects/repo");
  ASSERT_EQ(runFor(home.path(), {*git, "init", "-q", repo})->status, 0);
  ASSERT_EQ(
      runFor(home.path(), {*git, "-C", repo, "add", "-f", "app/node_modules/vendored.js"})->status,
      0);
  auto env = home.env();
  env.tool = [&](const std::string& name) { return name == "git" ? git : std::nullopt; };
  env.run = [&](const std::vector<std::string>& args) { return runFor(home.path(), args); };
  const auto scan = buildsOf(env);
  ASSERT_EQ(scan.items.size(), 1u);
  EXPECT_EQ(scan.items[0].path, home.at("Projects/repo/lib/NODE_MODULES"));
  EXPECT_EQ(scan.items[0].gitRepo, home.at("Projects/repo/lib"));
  // Without a git tool nothing in a repository is removable.
  env.tool = {};
  EXPECT_TRUE(buildsOf(env).items.empty());
}

TEST(DiskScannerBuilds, AGitThatHangsKeepsTheFolderAndTheScanGoesOn) {
  FakeHome home;
  project(home, "Projects/repo", "package.json", {"node_modules/x.js", ".git/HEAD"}, 40 * kDay);
  const std::string hang = home.file("bin/git");
  std::ofstream(hang) << "#!/bin/sh\nexec sleep 30\n";
  fs::permissions(hang, fs::perms::owner_all);
  auto env = home.env();
  env.tool = [&](const std::string&) { return std::optional<std::string>(hang); };
  env.run = [](const std::vector<std::string>& args) {
    return Shell::run(args, std::nullopt, 0.2);
  };
  EXPECT_TRUE(buildsOf(env).items.empty());
}

TEST(DiskScannerBuilds, LinkedPackagesCountInTheFirstRuleThatMeetsThem) {
  // A package store links each file into every project's node_modules.
  FakeHome home;
  const std::string stored = home.file("Library/pnpm/store/v3/files/ab/pkg.js", 0, 128 * 1024);
  project(home, "Projects/a", "package.json", {"index.js"}, 40 * kDay);
  home.folder("Projects/a/node_modules");
  fs::create_hard_link(stored, home.at("Projects/a/node_modules/pkg.js"));
  home.setAge(home.at("Projects/a/node_modules"), 40 * kDay);
  auto env = home.env();
  env.tool = [](const std::string& name) -> std::optional<std::string> {
    return name == "pnpm" ? std::optional<std::string>("/opt/pnpm") : std::nullopt;
  };
  const auto scan = DiskScanner::scan(env);
  const int64_t file = size(stored);
  EXPECT_EQ(scan.rules.at(DiskRule::builds).bytes, file);  // builds are measured first
  EXPECT_LT(scan.rules.at(DiskRule::packageCaches).bytes, file);
  EXPECT_EQ(scan.rules.at(DiskRule::packageCaches).commands.size(), 1u);
}

TEST(DiskScannerLibraries, NvmKeepsTheAliasLineAndTheNewest) {
  const std::vector<std::string> v = {"v16.20.2", "v18.2.0", "v18.19.0", "v20.9.0", "v20.11.1"};
  using Keep = std::optional<std::set<std::string>>;
  EXPECT_EQ(nvmKeep(v, "18\n"), (Keep{{"v18.19.0", "v20.11.1"}}));
  EXPECT_EQ(nvmKeep(v, "v16.20"), (Keep{{"v16.20.2", "v20.11.1"}}));
  EXPECT_EQ(nvmKeep(v, "20.1"), std::nullopt);  // a prefix must end at a "."
  EXPECT_EQ(nvmKeep(v, "node"), (Keep{{"v20.11.1"}}));
  EXPECT_EQ(nvmKeep(v, "lts/iron"), std::nullopt);
  EXPECT_EQ(nvmKeep(v, " \n"), std::nullopt);
  EXPECT_EQ(nvmKeep(v, std::nullopt), std::nullopt);
  EXPECT_EQ(nvmKeep({}, "18"), (Keep{std::set<std::string>{}}));
}

TEST(DiskScannerLibraries, OldNodeVersionsDeviceSupportAndToolchains) {
  FakeHome home;
  for (const char* v : {"v18.2.0", "v18.19.0", "v20.11.1", "v9.0.0"})
    home.file(std::string(".nvm/versions/node/") + v + "/bin/node");
  home.file(".nvm/alias/default", 0);
  std::ofstream(home.at(".nvm/alias/default")) << "18\n";
  const std::string support = "Library/Developer/Xcode/iOS DeviceSupport/";
  const double ages[] = {5 * kDay, 1 * kDay, 9 * kDay, 3 * kDay};
  for (int i = 0; i < 4; ++i) home.folder(support + "iOS " + std::to_string(i), ages[i]);
  home.file(".rustup/toolchains/nightly-x86_64/lib/a.so", 0, 8192);
  auto env = home.env();
  env.tool = [](const std::string& name) -> std::optional<std::string> {
    return name == "rustup" ? std::optional<std::string>("/opt/rustup") : std::nullopt;
  };
  env.run = [](const std::vector<std::string>& args) -> std::optional<ShellResult> {
    if (args != std::vector<std::string>{"/opt/rustup", "toolchain", "list"}) return std::nullopt;
    return ShellResult{0,
                       "stable-x86_64 (default)\nnightly-x86_64\n1.70-x86_64 (active)\n"
                       "../../escape\nbeta-x86_64 (override)\n\n",
                       "", false};
  };
  HardLinks links;
  const auto scan = libraries(env, links);
  std::vector<std::string> found;
  for (const auto& item : scan.items) found.push_back(item.path);
  EXPECT_EQ(found, (std::vector<std::string>{
                       home.at(".nvm/versions/node/v9.0.0"), home.at(".nvm/versions/node/v18.2.0"),
                       home.at(support + "iOS 0"), home.at(support + "iOS 2")}));
  EXPECT_EQ(scan.commands, (std::vector<std::vector<std::string>>{
                               {"/opt/rustup", "toolchain", "uninstall", "nightly-x86_64"}}));
  EXPECT_GE(scan.bytes, 8192);
}

TEST(DiskScannerGuards, KeptPathsAndOutsideLinksAreNeverProposed) {
  FakeHome home;
  const std::string outside = home.file("outside/secret/data.bin", 60 * kDay, 4096);
  home.setAge(home.at("outside/secret"), 60 * kDay);
  // Links from every rule's folder to a folder outside the home's rule folders.
  for (const char* link :
       {"Library/Caches/app", "Library/Logs/old", "Downloads/old", "Projects/web/node_modules",
        "Library/Developer/Xcode/DerivedData/X", ".nvm/versions/node/v1.0.0"}) {
    home.folder(fs::path(link).parent_path().string());
    fs::create_directory_symlink(home.at("outside/secret"), home.at(link));
    home.setAge(home.at(link), 60 * kDay);
    home.addedAt[home.at(link)] = home.now - 60 * kDay;
  }
  project(home, "Projects/web", "package.json", {"a.js"}, 60 * kDay);
  home.file("Library/Caches/kept-app/x", 60 * kDay);
  home.setAge(home.at("Library/Caches/kept-app"), 60 * kDay);
  home.file(".nvm/versions/node/v2.0.0/bin/node");
  auto env = home.env();
  env.kept = DiskPaths::keptEntries({"~/library/caches/KEPT-APP"}, home.path());
  const auto scan = DiskScanner::scan(env);
  for (const auto& [rule, found] : scan.rules)
    for (const auto& item : found.items) {
      EXPECT_FALSE(item.path.starts_with(home.at("outside"))) << item.path;
      EXPECT_FALSE(item.path.starts_with(home.at("Library/Caches/kept-app"))) << item.path;
      EXPECT_EQ(item.bytes, 0) << item.path;  // only the links themselves, never their targets
    }
  // The one link that is an item is the Downloads entry itself, which goes to the Trash.
  EXPECT_EQ(scan.rules.at(DiskRule::downloads).items.size(), 1u);
  EXPECT_TRUE(fs::exists(outside));
}

}  // namespace
}  // namespace kelvane
