#include "core/disk/disk_scanner.h"

#include <filesystem>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/disk/disk_paths.h"
#include "core/disk/testing/fake_home.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using namespace DiskScanner;
constexpr double kDay = FakeHome::kDay;
constexpr double kHour = 3600;

std::vector<std::string> paths(const DiskRuleScan& scan) {
  std::vector<std::string> out;
  for (const auto& item : scan.items) out.push_back(item.path);
  return out;
}

// A tool finder that knows exactly the given names, each in /opt/bin.
std::function<std::optional<std::string>(const std::string&)> tools(std::set<std::string> names) {
  return [names](const std::string& name) -> std::optional<std::string> {
    if (!names.contains(name)) return std::nullopt;
    return "/opt/bin/" + name;
  };
}

TEST(DiskScannerCaches, TakesEntriesOfIdleAppFoldersOnly) {
  FakeHome home;
  home.file("Library/Caches/idle/a", 0, 5000);
  home.file("Library/Caches/idle/b");
  home.file("Library/Caches/kept/x");
  home.file("Library/Caches/com.apple.Safari/x");
  home.file("Library/Caches/org.running/x");
  home.file("Library/Caches/held/x");
  home.file("Library/Caches/fresh/x");
  home.file("Library/Caches/loose-file");
  for (const char* app : {"idle", "kept", "com.apple.Safari", "org.running", "held"})
    home.setAge(home.at("Library/Caches/") + app, 2 * kHour);
  home.setAge(home.at("Library/Caches/fresh"), kHour / 2);
  auto env = home.env();
  env.kept = DiskPaths::keptEntries({"~/Library/Caches/Kept"}, home.path());
  env.runningBundleIDs = {"org.running"};
  env.openFiles = {home.at("Library/Caches/held/x"), home.at("Library/Caches/idle")};
  HardLinks links;
  const auto scan = caches(env, links);
  EXPECT_EQ(paths(scan), (std::vector<std::string>{home.at("Library/Caches/idle/a"),
                                                   home.at("Library/Caches/idle/b")}));
  EXPECT_EQ(scan.items[0].root, home.at("Library/Caches"));
  EXPECT_EQ(scan.bytes, scan.items[0].bytes + scan.items[1].bytes);
  EXPECT_GE(scan.items[0].bytes, 5000);
}

TEST(DiskScannerCaches, PackageToolFoldersGoToTheirCommands) {
  FakeHome home;
  home.file("Library/Caches/pip/wheel");
  home.file("Library/Caches/Homebrew/bottle");
  home.setAge(home.at("Library/Caches/pip"), kDay);
  home.setAge(home.at("Library/Caches/Homebrew"), kDay);
  auto env = home.env();
  HardLinks links;
  EXPECT_EQ(caches(env, links).items.size(), 2u);  // no tools: plain cache folders
  env.tool = tools({"pip", "brew"});
  EXPECT_TRUE(caches(env, links).items.empty());
  const auto packages = packageCaches(env, links);
  EXPECT_EQ(packages.commands,
            (std::vector<std::vector<std::string>>{{"/opt/bin/pip", "cache", "purge"},
                                                   {"/opt/bin/brew", "cleanup", "-s"}}));
  EXPECT_EQ(packages.note, std::nullopt);
}

TEST(DiskScannerPackageCaches, ToolOrderKeptCachesAndCargo) {
  FakeHome home;
  home.file(".npm/_cacache/blob", 0, 8192);
  home.file(".cargo/registry/cache/index/crate-1.0.crate", 0, 4096);
  auto env = home.env();
  HardLinks links;
  EXPECT_EQ(packageCaches(env, links).items.size(), 1u);  // cargo needs no tool
  fs::remove_all(home.at(".cargo"));
  EXPECT_EQ(packageCaches(env, links).note, "no package tool found");

  env.tool = tools({"bun", "npm", "pip3", "pip", "pnpm"});
  env.kept = DiskPaths::keptEntries({"~/Library/pnpm"}, home.path());
  HardLinks fresh;
  const auto scan = packageCaches(env, fresh);
  EXPECT_EQ(scan.commands,
            (std::vector<std::vector<std::string>>{{"/opt/bin/npm", "cache", "clean", "--force"},
                                                   {"/opt/bin/bun", "pm", "cache", "rm"},
                                                   {"/opt/bin/pip3", "cache", "purge"}}));
  EXPECT_EQ(scan.bytes, size(home.at(".npm/_cacache")));
}

TEST(DiskScannerLogs, FilesStrictlyOlderThanAWeekAnywhereBelow) {
  FakeHome home;
  const auto week = 7 * kDay;
  home.file("Library/Logs/exactly.log", week);
  const auto old = home.file("Library/Logs/DiagnosticReports/crash.ips", week + 1);
  home.file("Library/Logs/new.log", 0);
  home.folder("Library/Logs/old-folder", 30 * kDay);
  fs::create_symlink(old, home.at("Library/Logs/link.log"));
  home.setAge(home.at("Library/Logs/link.log"), 30 * kDay);
  HardLinks links;
  EXPECT_EQ(paths(logs(home.env(), links)), std::vector<std::string>{old});
}

TEST(DiskScannerDerivedData, OldFoldersUnlessXcodebuildRuns) {
  FakeHome home;
  const std::string root = "Library/Developer/Xcode/DerivedData/";
  home.file(root + "Old-abc/Build/x", 10 * kDay);
  home.setAge(home.at(root + "Old-abc/Build"), 10 * kDay);
  home.setAge(home.at(root + "Old-abc"), 10 * kDay);
  home.file(root + "Touched-def/info.plist", kDay);  // a fresh direct entry
  home.setAge(home.at(root + "Touched-def"), 10 * kDay);
  auto env = home.env();
  HardLinks links;
  EXPECT_EQ(paths(derivedData(env, links)), std::vector<std::string>{home.at(root + "Old-abc")});
  env.runningNames = {"xcodebuild"};
  EXPECT_EQ(derivedData(env, links), DiskRuleScan{.note = "xcodebuild is running"});
}

TEST(DiskScannerDownloads, OnlyOldUntouchedVisibleNonGitEntries) {
  FakeHome home;
  const double old = 40 * kDay;
  home.file("Downloads/old.zip", old);
  home.file("Downloads/recent.zip", 0);            // added recently
  home.file("Downloads/.hidden", old);             // hidden
  home.file("Downloads/edited/notes.txt", kDay);   // a fresh file inside
  home.file("Downloads/checkout/.git/HEAD", old);  // a git checkout
  home.file("Downloads/unknown.bin", old);         // no added date
  for (const char* name : {"edited", "checkout", "checkout/.git"})
    home.setAge(home.at("Downloads/") + name, old);
  for (const char* name : {"old.zip", ".hidden", "edited", "checkout"})
    home.addedAt[home.at("Downloads/") + name] = home.now - old;
  home.addedAt[home.at("Downloads/recent.zip")] = home.now - kDay;
  HardLinks links;
  const auto [scan, access] = downloads(home.env(), links);
  EXPECT_TRUE(access);
  EXPECT_EQ(paths(scan), std::vector<std::string>{home.at("Downloads/old.zip")});
  EXPECT_EQ(scan.items[0].root, home.at("Downloads"));
}

TEST(DiskScannerAccess, UnlistableDownloadsAndTrashAreReported) {
  FakeHome home;
  HardLinks links;
  // A missing Trash is simply empty.
  EXPECT_EQ(trash(home.env(), links), std::make_pair(DiskRuleScan{}, true));
  // Present but not listable (a plain file stands in for a folder the user may not read).
  home.file(".Trash");
  home.file("Downloads");
  EXPECT_EQ(trash(home.env(), links),
            std::make_pair(DiskRuleScan{.note = "needs Full Disk Access"}, false));
  const auto scan = DiskScanner::scan(home.env());
  EXPECT_FALSE(scan.fullDiskAccess);
  EXPECT_FALSE(scan.downloadsAccess);
  EXPECT_EQ(scan.rules.at(DiskRule::downloads).note, "needs access to Downloads");
}

TEST(DiskScannerTrash, TakesEverythingAddedLongAgo) {
  FakeHome home;
  home.file(".Trash/.hidden-old", 0);  // Trash items need only an old added date
  home.file(".Trash/new", 0);
  home.addedAt[home.at(".Trash/.hidden-old")] = home.now - 31 * kDay;
  home.addedAt[home.at(".Trash/new")] = home.now - 29 * kDay;
  HardLinks links;
  const auto [scan, access] = trash(home.env(), links);
  EXPECT_TRUE(access);
  EXPECT_EQ(paths(scan), std::vector<std::string>{home.at(".Trash/.hidden-old")});
}

TEST(DiskScannerTools, DockerAndSimulatorsNeedTheirTools) {
  FakeHome home;
  auto env = home.env();
  env.tool = tools({"docker"});
  EXPECT_EQ(docker(env), DiskRuleScan{.note = "Docker is not running"});  // installed, idle
  env.runningNames = {"com.docker.backend"};
  EXPECT_EQ(docker(env).commands,
            (std::vector<std::vector<std::string>>{{"/opt/bin/docker", "image", "prune", "-f"}}));
  EXPECT_EQ(simulators(env), DiskRuleScan{.note = "Xcode is not installed"});
  env.tool = tools({"xcrun"});
  EXPECT_EQ(simulators(env).commands, (std::vector<std::vector<std::string>>{
                                          {"/opt/bin/xcrun", "simctl", "delete", "unavailable"}}));
}

TEST(DiskScannerSuggestions, BigOrLongUnusedItemsInsideTheHome) {
  FakeHome home;
  const auto at = [&](const std::string& rel) { return home.at(rel); };
  const Date lastWeek = home.now - 7 * kDay;
  const Date longAgo = home.now - 200 * kDay;
  auto env = home.env();
  env.ignored = {at("dismissed.iso")};
  env.kept = DiskPaths::keptEntries({"~/Kept"}, home.path());
  env.spotlight = [&](int64_t minBytes) {
    EXPECT_EQ(minBytes, 500'000'000);
    return std::vector<Suggestion>{
        {at("never-used.dmg"), 2'000'000'000, std::nullopt},
        {at("recent.mov"), 700'000'000, lastWeek},
        {at("old.mov"), 700'000'000, longAgo},
        {at("Apps/Tool.APP/Contents/blob"), 3'000'000'000, std::nullopt},
        {at("VMs/linux.utm/disk.img"), 3'000'000'000, std::nullopt},
        {at(".Trash/x"), 3'000'000'000, std::nullopt},
        {"/elsewhere/y", 3'000'000'000, std::nullopt},
        {at("dismissed.iso"), 3'000'000'000, std::nullopt},
        {at("Kept/vm.img"), 3'000'000'000, std::nullopt},
        {at("small"), 499'999'999, longAgo},
    };
  };
  const auto found = suggestions(env);
  EXPECT_EQ(found, (std::vector<Suggestion>{{at("never-used.dmg"), 2'000'000'000, std::nullopt},
                                            {at("old.mov"), 700'000'000, longAgo}}));
  env.spotlight = [&](int64_t) {
    return std::vector<Suggestion>(60, Suggestion{at("x"), 1'000'000'000, std::nullopt});
  };
  EXPECT_EQ(suggestions(env).size(), 50u);
}

TEST(DiskScannerBadInput, OddNamesLoopsAndVanishingFoldersStillGiveAScan) {
  FakeHome home;
  const std::string odd[] = {home.at("Library/Caches/app/new\nline"),
                             home.at("Library/Caches/app/bad\xff\xfe")};
  for (const auto& path : odd) home.file(path.substr(home.path().size() + 1));
  home.setAge(home.at("Library/Caches/app"), kDay);
  // Links that loop, to a parent folder and to each other.
  home.folder("Library/Logs");
  fs::create_directory_symlink(home.at("Library"), home.at("Library/Logs/up"));
  home.folder("Projects");
  fs::create_symlink(home.at("Projects/b"), home.at("Projects/a"));
  fs::create_symlink(home.at("Projects/a"), home.at("Projects/b"));
  home.file("Library/Logs/deep/" + std::string(40, 'd') + "/old.log", 30 * kDay);
  // A Downloads folder that vanishes while the scan looks at its neighbour.
  home.file("Downloads/a.zip", 40 * kDay);
  home.file("Downloads/b-gone/x", 40 * kDay);
  home.setAge(home.at("Downloads/b-gone"), 40 * kDay);
  auto env = home.env();
  env.added = [&](const std::string& path) -> std::optional<Date> {
    if (path == home.at("Downloads/a.zip")) fs::remove_all(home.at("Downloads/b-gone"));
    return home.now - 40 * kDay;
  };
  const auto scan = DiskScanner::scan(env);
  EXPECT_EQ(paths(scan.rules.at(DiskRule::caches)), (std::vector<std::string>{odd[1], odd[0]}));
  EXPECT_EQ(scan.rules.at(DiskRule::logs).items.size(), 1u);
  EXPECT_EQ(paths(scan.rules.at(DiskRule::downloads)),
            std::vector<std::string>{home.at("Downloads/a.zip")});
  EXPECT_TRUE(scan.rules.at(DiskRule::builds).items.empty());
}

TEST(DiskScannerBadInput, UnreadableFoldersContributeNothing) {
  if (::geteuid() == 0) GTEST_SKIP() << "root reads every folder; the plain-file cases stand in";
  FakeHome home;
  home.file("Library/Caches/locked/x");
  home.file("Library/Logs/locked/old.log", 30 * kDay);
  home.file("Library/Logs/open.log", 30 * kDay);
  home.setAge(home.at("Library/Caches/locked"), kDay);
  fs::permissions(home.at("Library/Caches/locked"), fs::perms::none);
  fs::permissions(home.at("Library/Logs/locked"), fs::perms::none);
  const auto scan = DiskScanner::scan(home.env());
  EXPECT_TRUE(scan.rules.at(DiskRule::caches).items.empty());
  EXPECT_EQ(paths(scan.rules.at(DiskRule::logs)),
            std::vector<std::string>{home.at("Library/Logs/open.log")});
  fs::permissions(home.at("Library/Caches/locked"), fs::perms::owner_all);
  fs::permissions(home.at("Library/Logs/locked"), fs::perms::owner_all);
}

}  // namespace
}  // namespace kelvane
