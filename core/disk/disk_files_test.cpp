#include "core/disk/disk_files.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "core/disk/testing/fake_home.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using namespace DiskScanner;
constexpr double kDay = FakeHome::kDay;

TEST(DiskFiles, SizeCountsAllocatedBlocksAndNeverFollowsLinks) {
  FakeHome home;
  home.file("d/written", 0, 64 * 1024);
  fs::resize_file(home.file("d/sparse", 0, 0), 200'000'000);  // long, but nothing allocated
  fs::create_directory_symlink(home.folder("outside"), home.at("d/link"));
  home.file("outside/blob", 0, 1'000'000);
  EXPECT_GE(size(home.at("d")), 64 * 1024);
  EXPECT_LT(size(home.at("d")), 1'000'000);  // neither the sparse length nor the link's target
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
  EXPECT_EQ(size(home.at("app")), one);  // within one folder the second link adds nothing
  HardLinks links;                       // across a scan, the first folder met has it
  EXPECT_EQ(size(home.at("store"), links), one);
  EXPECT_EQ(size(home.at("app"), links), 0);
}

TEST(DiskFiles, NewestSourceSkipsHeavyAndCacheFoldersAndLinks) {
  FakeHome home;
  home.file("p/src/main.c", 60 * kDay);
  for (const char* fresh : {"p/node_modules/x.js", "p/.cache/c", "p/.git/index", "p/build/o"})
    home.file(fresh);
  fs::create_symlink(home.at("p/src/main.c"), home.at("p/fresh-link"));
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
}

TEST(DiskFiles, AddedDateIsNeverBeforeTheItemArrived) {
  // A file made earlier and moved in keeps its birth time; the date must not show it.
  FakeHome home;
  const std::string made = home.file("elsewhere/old");
  struct stat born {};
  struct stat probe {};
  ::lstat(made.c_str(), &born);
  for (int i = 0; i < 1'000'000; ++i) {  // until the file system's clock moves on, no sleep
    home.file("probe");
    ::lstat(home.at("probe").c_str(), &probe);
    if (probe.st_ctim.tv_sec != born.st_ctim.tv_sec ||
        probe.st_ctim.tv_nsec != born.st_ctim.tv_nsec)
      break;
  }
  fs::rename(made, home.at("arrived"));
  EXPECT_GE(*addedDate(home.at("arrived")),
            Date::fromUnix(probe.st_ctim.tv_sec + probe.st_ctim.tv_nsec / 1e9));
  EXPECT_EQ(addedDate(home.at("missing")), std::nullopt);
}

}  // namespace
}  // namespace kelvane
