#include "core/disk/disk_files.h"

#include <filesystem>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/disk/testing/fake_home.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using namespace DiskScanner;
constexpr double kDay = FakeHome::kDay;

TEST(DiskFiles, EntriesAreSortedFullPathsWithHiddenOnes) {
  FakeHome home;
  home.file("d/b");
  home.file("d/.hidden");
  home.folder("d/A");
  EXPECT_EQ(entries(home.at("d")),
            (std::vector<std::string>{home.at("d/.hidden"), home.at("d/A"), home.at("d/b")}));
  EXPECT_TRUE(entries(home.at("missing")).empty());
  EXPECT_TRUE(entries(home.at("d/b")).empty());  // a file is no folder
}

TEST(DiskFiles, SizeCountsAllocatedBlocksAndNeverFollowsLinks) {
  FakeHome home;
  home.file("d/written", 0, 64 * 1024);
  fs::resize_file(home.file("d/sparse", 0, 0), 200'000'000);  // large, but nothing allocated
  fs::create_directory_symlink(home.folder("outside/big"), home.at("d/link"));
  home.file("outside/big/blob", 0, 1'000'000);
  const int64_t folder = size(home.at("d"));
  EXPECT_GE(folder, 64 * 1024);
  EXPECT_LT(folder, 1'000'000);  // neither the sparse length nor the link's target
  EXPECT_EQ(size(home.at("d/link")), 0);
  EXPECT_EQ(size(home.at("missing")), 0);
}

TEST(DiskFiles, AHardLinkedFileCountsOnceWhereItIsFirstMet) {
  FakeHome home;
  const std::string store = home.file("store/index.js", 0, 256 * 1024);
  home.folder("app");
  fs::create_hard_link(store, home.at("app/index.js"));
  fs::create_hard_link(store, home.at("app/copy.js"));
  const int64_t one = size(store);
  // Within one folder the second link adds nothing.
  EXPECT_EQ(size(home.at("app")), one);
  // Across a scan, whichever folder meets the file first has it.
  HardLinks links;
  EXPECT_EQ(size(home.at("store"), links), one);
  EXPECT_EQ(size(home.at("app"), links), 0);
  EXPECT_EQ(size(store, links), 0);
}

TEST(DiskFiles, NewestInsideStopsAtTheFirstRecentItem) {
  FakeHome home;
  home.file("d/a/old", 40 * kDay);
  home.setAge(home.folder("d/a", 40 * kDay), 40 * kDay);
  EXPECT_EQ(newestInside(home.at("d"), home.now - 30 * kDay), home.now - 40 * kDay);
  home.file("d/a/deep/new", kDay);
  home.setAge(home.at("d/a/deep"), 50 * kDay);
  home.setAge(home.at("d/a"), 50 * kDay);
  EXPECT_GE(*newestInside(home.at("d"), home.now - 30 * kDay), home.now - 30 * kDay);
  EXPECT_EQ(newestInside(home.folder("empty"), home.now), std::nullopt);
}

TEST(DiskFiles, NewestSourceSkipsHeavyAndCacheFolders) {
  FakeHome home;
  home.file("p/src/main.c", 60 * kDay);
  for (const char* fresh : {"p/node_modules/x.js", "p/.cache/c", "p/.git/index", "p/build/o"})
    home.file(fresh);
  fs::create_symlink(home.at("p/src/main.c"), home.at("p/fresh-link"));  // a link is no source
  EXPECT_EQ(newestSource(home.at("p"), home.now - 30 * kDay), home.now - 60 * kDay);
  home.file("p/src/lib/new.c", 0);
  EXPECT_GE(*newestSource(home.at("p"), home.now - 30 * kDay), home.now - 30 * kDay);
  EXPECT_EQ(newestSource(home.folder("bare"), home.now), std::nullopt);
}

TEST(DiskFiles, ProjectsAreFoundBreadthFirstWithinTheDepth) {
  FakeHome home;
  for (const char* marker :
       {"r/b/package.json", "r/a/x/Cargo.toml", "r/a/CMakeLists.txt", "r/a/sub/build.gradle",
        "r/1/2/3/4/5/package.json", "r/1/2/3/4/5/6/package.json", "r/.hidden/package.json",
        "r/Tool.app/package.json", "r/b/node_modules/dep/package.json"})
    home.file(marker);
  fs::create_directory_symlink(home.at("r/b"), home.at("r/linked"));
  EXPECT_EQ(projects(home.at("r"), 5),
            (std::vector<std::string>{home.at("r/a"), home.at("r/b"), home.at("r/a/sub"),
                                      home.at("r/a/x"), home.at("r/1/2/3/4/5")}));
  EXPECT_TRUE(projects(home.at("missing"), 5).empty());
}

TEST(DiskFiles, InGitLooksUpThroughTheParents) {
  FakeHome home;
  home.folder("repo/.git");
  home.folder("repo/a/b");
  home.folder("plain/a");
  EXPECT_TRUE(inGit(home.at("repo/a/b")));
  EXPECT_TRUE(inGit(home.at("repo")));
  EXPECT_FALSE(inGit(home.at("plain/a")));
  EXPECT_FALSE(inGit(""));
}

TEST(DiskFiles, AddedDateIsNeverBeforeTheItemArrived) {
  // A file made earlier and moved in keeps its birth time; the date must not show it.
  FakeHome home;
  const std::string made = home.file("elsewhere/old");
  struct stat born {};
  ::lstat(made.c_str(), &born);
  // Wait, without sleeping, until the file system's clock has moved on.
  struct stat probe {};
  for (int i = 0; i < 1'000'000; ++i) {
    home.file("probe");
    ::lstat(home.at("probe").c_str(), &probe);
    if (probe.st_ctim.tv_sec != born.st_ctim.tv_sec ||
        probe.st_ctim.tv_nsec != born.st_ctim.tv_nsec)
      break;
  }
  const Date moved = Date::fromUnix(probe.st_ctim.tv_sec + probe.st_ctim.tv_nsec / 1e9);
  fs::rename(made, home.at("probe-arrived"));
  EXPECT_GE(*addedDate(home.at("probe-arrived")), moved);
  EXPECT_EQ(addedDate(home.at("missing")), std::nullopt);
}

}  // namespace
}  // namespace kelvane
