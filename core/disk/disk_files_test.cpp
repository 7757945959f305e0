#include "core/disk/disk_files.h"

#include <cstdio>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/disk/testing/child_check.h"
#include "core/disk/testing/fake_home.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using namespace DiskScanner;
constexpr double kDay = FakeHome::kDay;

// The sizes `du -s --block-size=1` prints for `paths` given in one call, in order.
std::vector<int64_t> du(const std::vector<std::string>& paths) {
  std::string command = "du -s --block-size=1";
  for (const auto& path : paths) command += " '" + path + "'";
  std::vector<int64_t> sizes;
  FILE* out = ::popen(command.c_str(), "r");
  if (!out) return sizes;
  long long bytes = 0;
  char name[4096];
  while (std::fscanf(out, "%lld\t%4095[^\n]\n", &bytes, name) == 2) sizes.push_back(bytes);
  ::pclose(out);
  return sizes;
}

TEST(DiskFiles, SizesAreWhatDuCountsFolderBlocksAndLinksIncluded) {
  FakeHome home;
  home.file("d/written", 0, 64 * 1024);
  for (int i = 0; i < 40; ++i) home.file("d/sub/deeper/f" + std::to_string(i), 0, 10);
  fs::resize_file(home.file("d/sparse", 0, 0), 200'000'000);  // long, but nothing allocated
  // A link whose target is too long to live in its inode takes a block of its own.
  fs::create_symlink(std::string(300, 'x'), home.at("d/long-link"));
  fs::create_directory_symlink(home.folder("outside"), home.at("d/link"));
  home.file("outside/blob", 0, 1'000'000);
  const std::vector<std::string> items = {home.at("d"), home.at("d/sub"), home.at("d/written"),
                                          home.at("d/long-link"), home.at("d/link")};
  for (const auto& item : items) EXPECT_EQ(std::vector{size(item)}, du({item})) << item;
  EXPECT_LT(size(home.at("d")), 1'000'000);  // neither the sparse length nor the link's target
  EXPECT_EQ(size(home.at("missing")), 0);
}

TEST(DiskFiles, AHardLinkedFileCountsOnceWhereItIsFirstMetAsDuCountsIt) {
  FakeHome home;
  const std::string store = home.file("store/index.js", 0, 256 * 1024);
  home.file("app/own.js", 0, 4096);
  fs::create_hard_link(store, home.at("app/index.js"));
  fs::create_hard_link(store, home.at("app/copy.js"));
  EXPECT_EQ(std::vector{size(home.at("app"))}, du({home.at("app")}));  // two links, one file
  Tally tally;  // across a scan, the first item met has it, as with du given both
  const std::vector<int64_t> measured = {measure(home.at("store"), tally).bytes,
                                         measure(home.at("app"), tally).bytes};
  EXPECT_EQ(measured, du({home.at("store"), home.at("app")}));
  EXPECT_LT(measured[1], 256 * 1024);
}

TEST(DiskFiles, MeasuringTellsWhatItCouldNotRead) {
  FakeHome home;
  home.file("item/locked/secret", 0, 100'000);
  home.file("item/open", 0, 100);
  home.deepFile("deep", FileWalk::kMaxDepth + 5);
  fs::permissions(home.at("item/locked"), fs::perms::none);
  EXPECT_TRUE(passesAsNobody(home, [&] {
    Tally tally;
    const Measured item = measure(home.at("item"), tally);
    const Measured locked = measure(home.at("item/locked"), tally);
    const Measured gone = measure(home.at("item/gone"), tally);
    return item.found && item.gaps.unreadable == 1 && item.gaps.first == home.at("item/locked") &&
           locked.gaps.unreadable == 1 && !gone.found && gone.gaps.none();
  }));
  fs::permissions(home.at("item/locked"), fs::perms::owner_all);
  Tally tally;
  const Measured tooDeep = measure(home.at("deep"), tally);
  EXPECT_EQ(tooDeep.gaps.tooDeep, 1u);
  EXPECT_EQ(tooDeep.gaps.unreadable, 0u);
  EXPECT_TRUE(measure(home.at("item"), tally).gaps.none());
}

TEST(DiskFiles, SmallFilesAreReadOnlyWhenRegularAndNeverWaitedFor) {
  FakeHome home;
  const std::string text = home.file("alias", 0, 10);
  fs::create_symlink(text, home.at("link"));
  ::mkfifo(home.at("fifo").c_str(), 0600);
  home.file("big", 0, 70 * 1024);
  EXPECT_EQ(smallFile(text), std::string(10, 'x'));
  EXPECT_TRUE(passesInChild(
      [&] {
        return !smallFile(home.at("fifo")) && !smallFile(home.at("link")) &&
               !smallFile("/dev/zero") && !smallFile(home.at("big")) &&
               !smallFile(home.at("missing"));
      },
      20));
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
  EXPECT_EQ(projects(home.at("r"), 5).found,
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
