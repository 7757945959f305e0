#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "core/config/format.h"
#include "core/disk/disk_scanner.h"
#include "core/disk/testing/fake_home.h"
#include "core/disk_records/disk_paths.h"
#include "core/shell/tool_locator.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using namespace DiskScanner;
constexpr double kDay = FakeHome::kDay;
constexpr double kStale = 40 * kDay;

// A project whose every file and folder was last touched `age` seconds ago.
void project(const FakeHome& home, const std::string& rel, const std::vector<std::string>& files,
             double age = kStale) {
  for (const auto& f : files) home.file(rel + "/" + f, age);
  for (const auto& entry : fs::recursive_directory_iterator(home.at(rel)))
    home.setAge(entry.path().string(), age);
}

std::vector<std::string> buildPaths(const DiskEnvironment& env) {
  Tally tally;
  std::vector<std::string> out;
  for (const auto& item : builds(env, tally).items) out.push_back(item.path);
  return out;
}

std::optional<ShellResult> runIn(const std::string& home, const std::vector<std::string>& args) {
  return Shell::run(args, ToolLocator::environment(args.at(0), home), 10);
}

TEST(DiskScannerBuilds, StaleProjectsLoseTheirBuildFolders) {
  FakeHome home;
  project(home, "Projects/web", {"package.json", "index.js", "node_modules/a/i.js", "dist/x.js"});
  project(home, "Projects/native", {"CMakeLists.txt", "main.c", "Build/main.o", "target/x"});
  project(home, "Projects/fresh", {"Cargo.toml", "target/debug/x", "src/main.rs"});
  home.file("Projects/fresh/src/lib.rs", kDay);
  project(home, "Projects/odd", {"package.json", "a.js", "node_modules/.git/HEAD"});
  auto env = home.env();
  env.projectRoots.push_back(home.at("Projects/web"));  // reaches web twice
  env.kept = DiskPaths::keptEntries({"~/Projects/web/dist"}, home.path());
  EXPECT_EQ(buildPaths(env), (std::vector<std::string>{home.at("Projects/native/Build"),
                                                       home.at("Projects/web/node_modules")}));
  Tally tally;
  const auto item = builds(env, tally).items.at(0);
  EXPECT_EQ(item, (DiskItem{home.at("Projects/native/Build"), home.at("Projects/native"),
                            size(home.at("Projects/native/Build")), std::nullopt,
                            home.at("Projects/native")}));
}

TEST(DiskScannerBuilds, InGitOnlyFoldersWithoutTrackedFiles) {
  const auto git = ToolLocator::find("git", "/nonexistent", "/usr/bin:/bin:/usr/local/bin",
                                     [] { return std::optional<std::string>("/usr"); });
  if (!git) GTEST_SKIP() << "git is not installed: the git case of stale builds is not tested";
  FakeHome home;
  project(home, "Projects/repo/app", {"package.json", "main.js", "node_modules/vendored.js"});
  project(home, "Projects/repo/lib", {"package.json", "main.js", "NODE_MODULES/dep.js"});
  const std::string repo = home.at("Projects/repo");
  ASSERT_EQ(runIn(home.path(), {*git, "init", "-q", repo})->status, 0);
  ASSERT_EQ(runIn(home.path(), {*git, "-C", repo, "add", "-f", "app/node_modules"})->status, 0);
  auto env = home.env();
  env.tool = [&](const std::string& name) { return name == "git" ? git : std::nullopt; };
  env.run = [&](const std::vector<std::string>& args) { return runIn(home.path(), args); };
  Tally tally;
  const auto scan = builds(env, tally);
  ASSERT_EQ(scan.items.size(), 1u);
  EXPECT_EQ(scan.items[0].path, home.at("Projects/repo/lib/NODE_MODULES"));
  EXPECT_EQ(scan.items[0].gitRepo, home.at("Projects/repo/lib"));
  env.tool = {};  // without git nothing in a repository is removable
  EXPECT_TRUE(buildPaths(env).empty());
}

TEST(DiskScannerBuilds, AGitThatHangsKeepsTheFolder) {
  FakeHome home;
  project(home, "Projects/repo", {"package.json", "node_modules/x.js", ".git/HEAD"});
  const std::string hang = home.file("bin/git");
  std::ofstream(hang) << "#!/bin/sh\nexec sleep 30\n";
  fs::permissions(hang, fs::perms::owner_all);
  auto env = home.env();
  env.tool = [&](const std::string&) { return std::optional<std::string>(hang); };
  env.run = [](const std::vector<std::string>& args) {
    return Shell::run(args, std::nullopt, 0.2);
  };
  EXPECT_TRUE(buildPaths(env).empty());
}

// A stand-in git that fails as one does with a damaged ~/.gitconfig.
std::string brokenGit(const FakeHome& home) {
  const std::string git = home.file("bin/git");
  std::ofstream(git) << "#!/bin/sh\necho 'fatal: bad config line 1 in file /h/.gitconfig' >&2\n"
                        "exit 128\n";
  fs::permissions(git, fs::perms::owner_all);
  return git;
}

TEST(DiskScannerBuilds, FoldersGitCannotJudgeAreLeftOutWithAWord) {
  FakeHome home;
  project(home, "Projects/a",
          {"package.json", "a.js", "node_modules/x.js", "dist/y.js", ".git/HEAD"});
  project(home, "Projects/b", {"Cargo.toml", "b.rs", "target/z", ".git/HEAD"});
  project(home, "Projects/plain", {"Cargo.toml", "main.rs", "target/debug/main"});
  auto env = home.env();
  const std::string git = brokenGit(home);
  env.tool = [&](const std::string& name) {
    return name == "git" ? std::optional<std::string>(git) : std::nullopt;
  };
  env.run = [](const std::vector<std::string>& args) { return Shell::run(args, {}, 10); };
  Tally tally;
  const auto scan = builds(env, tally);
  // Outside git nothing needs asking; the three folders in repositories are named.
  EXPECT_EQ(scan.items.size(), 1u);
  const int64_t lost = size(home.at("Projects/a/node_modules")) + size(home.at("Projects/a/dist")) +
                       size(home.at("Projects/b/target"));
  const auto note = [&](const std::string& why) {
    return "3 build folders in 2 projects left out (" + Format::fileSize(lost) + "): " + why +
           " in ~/Projects/a";
  };
  EXPECT_EQ(scan.note, note("git failed (fatal: bad config line 1 in file /h/.gitconfig)"));
  env.tool = {};
  Tally again;
  EXPECT_EQ(builds(env, again).note, note("git not found"));
}

TEST(DiskScannerBuilds, LinkedPackagesCountInTheFirstRuleThatMeetsThem) {
  // A package store links each file into every project's node_modules.
  FakeHome home;
  const std::string stored = home.file("Library/pnpm/store/v3/pkg.js", 0, 128 * 1024);
  home.folder("Projects/a/node_modules");
  fs::create_hard_link(stored, home.at("Projects/a/node_modules/pkg.js"));
  project(home, "Projects/a", {"package.json"});
  auto env = home.env();
  env.tool = [](const std::string& name) -> std::optional<std::string> {
    return name == "pnpm" ? std::optional<std::string>("/opt/pnpm") : std::nullopt;
  };
  const auto scan = DiskScanner::scan(env);
  // Builds are measured first and have the file; the store then holds only its folders.
  EXPECT_EQ(scan.rules.at(DiskRule::builds).bytes, size(home.at("Projects/a/node_modules")));
  EXPECT_EQ(scan.rules.at(DiskRule::packageCaches).bytes + size(stored),
            size(home.at("Library/pnpm/store")));
}

TEST(DiskScannerGuards, LinksOutOfTheRuleFoldersAreNeverFollowed) {
  FakeHome home;
  const std::string outside = home.file("outside/secret/data.bin", 60 * kDay, 4096);
  home.setAge(home.at("outside/secret"), 60 * kDay);
  project(home, "Projects/web", {"package.json", "a.js"}, 60 * kDay);
  for (const char* link : {"Library/Caches/app", "Library/Logs/old", "Downloads/old",
                           "Projects/web/node_modules", "Library/Developer/Xcode/DerivedData/X",
                           ".nvm/versions/node/v1.0.0", ".cargo/registry/cache/x"}) {
    home.folder(fs::path(link).parent_path().string());
    fs::create_directory_symlink(home.at("outside/secret"), home.at(link));
    home.setAge(home.at(link), 60 * kDay);
    home.addedAt[home.at(link)] = home.now - 60 * kDay;
  }
  home.setAge(home.at("Projects/web"), 60 * kDay);
  home.file(".nvm/versions/node/v2.0.0/bin/node");
  const auto scan = DiskScanner::scan(home.env());
  std::vector<std::string> found;
  for (const auto& [rule, r] : scan.rules)
    for (const auto& item : r.items) {
      found.push_back(item.path);
      EXPECT_LE(item.bytes, 4096) << item.path;  // the link's own blocks, never its target's
    }
  // Only the links that are themselves entries of a rule's folder are items.
  EXPECT_EQ(found, (std::vector<std::string>{home.at(".cargo/registry/cache/x"),
                                             home.at("Downloads/old")}));
  EXPECT_TRUE(fs::exists(outside));
}

}  // namespace
}  // namespace kelvane
