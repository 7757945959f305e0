#include "core/disk/disk_scanner.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <tuple>

#include <gtest/gtest.h>

#include "core/disk/testing/child_check.h"
#include "core/disk/testing/fake_home.h"
#include "core/disk_records/disk_paths.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using namespace DiskScanner;
using Commands = std::vector<std::vector<std::string>>;
constexpr double kDay = FakeHome::kDay;
constexpr double kHour = 3600;

// The paths one rule proposes, measured with a fresh tally.
template <class Rule>
std::vector<std::string> found(Rule rule, const DiskEnvironment& env) {
  Tally tally;
  return itemPaths(rule(env, tally));
}

// What running programs hold, as the host tells it: a held path, and every folder holding
// one, is in use.
std::function<std::optional<std::string>(const std::string&)> holding(
    std::map<std::string, std::string> held) {
  return [held](const std::string& path) -> std::optional<std::string> {
    for (const auto& [at, reason] : held)
      if (at == path || at.starts_with(path + "/")) return reason;
    return std::nullopt;
  };
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
  const std::string dir = "Library/Caches/";
  for (const char* app : {"idle", "kept", "com.apple.Safari", "org.running", "held", "pip"}) {
    home.file(dir + app + "/x", 0, 5000);
    home.setAge(home.at(dir + app), 2 * kHour);
  }
  home.file(dir + "fresh/x");
  home.setAge(home.at(dir + "fresh"), kHour / 2);
  auto env = home.env();
  env.kept = DiskPaths::keptEntries({"~/Library/Caches/Kept"}, home.path());
  env.runningBundleIDs = {"org.running"};
  env.inUse = holding({{home.at(dir + "held/x"), "open in app (pid 4)"}});
  Tally tally;
  auto scan = caches(env, tally);
  EXPECT_EQ(itemPaths(scan),
            (std::vector<std::string>{home.at(dir + "idle/x"), home.at(dir + "pip/x")}));
  EXPECT_EQ(scan.items[0].root, home.at("Library/Caches"));
  EXPECT_GE(scan.items[0].bytes, 5000);
  EXPECT_EQ(scan.bytes, scan.items[0].bytes + scan.items[1].bytes);
  EXPECT_EQ(scan.note, "1 item in use left out: ~/Library/Caches/held, open in app (pid 4)");
  env.tool = tools({"pip"});  // pip's cache is then left to its own command
  EXPECT_EQ(found(caches, env), std::vector<std::string>{home.at(dir + "idle/x")});
}

TEST(DiskScannerPackageCaches, ToolOrderKeptCachesAndCargo) {
  FakeHome home;
  home.file(".npm/_cacache/blob", 0, 8192);
  auto env = home.env();
  Tally tally;
  EXPECT_EQ(packageCaches(env, tally).note, "no package tool found");
  home.file(".cargo/registry/cache/index/crate-1.0.crate", 0, 4096);
  EXPECT_EQ(packageCaches(env, tally).items.size(), 1u);  // cargo needs no tool
  env.tool = tools({"bun", "npm", "pip3", "pip", "pnpm"});
  env.kept = DiskPaths::keptEntries({"~/Library/pnpm"}, home.path());
  Tally fresh;
  const auto scan = packageCaches(env, fresh);
  EXPECT_EQ(scan.commands, (Commands{{"/opt/bin/npm", "cache", "clean", "--force"},
                                     {"/opt/bin/bun", "pm", "cache", "rm"},
                                     {"/opt/bin/pip3", "cache", "purge"}}));
  EXPECT_EQ(scan.bytes, size(home.at(".npm/_cacache")) + scan.items.at(0).bytes);
}

TEST(DiskScannerLogs, FilesStrictlyOlderThanAWeekAnywhereBelow) {
  FakeHome home;
  home.file("Library/Logs/exactly.log", 7 * kDay);
  const auto old = home.file("Library/Logs/DiagnosticReports/crash.ips", 7 * kDay + 1);
  home.folder("Library/Logs/old-folder", 30 * kDay);
  fs::create_symlink(old, home.at("Library/Logs/link.log"));
  home.setAge(home.at("Library/Logs/link.log"), 30 * kDay);
  EXPECT_EQ(found(logs, home.env()), std::vector<std::string>{old});
}

TEST(DiskScannerDerivedData, OldFoldersUnlessXcodebuildRuns) {
  FakeHome home;
  const std::string root = "Library/Developer/Xcode/DerivedData/";
  home.file(root + "Old/Build/x", 10 * kDay);
  home.file(root + "Touched/info.plist", kDay);  // a fresh direct entry
  for (const char* folder : {"Old/Build", "Old", "Touched"})
    home.setAge(home.at(root + folder), 10 * kDay);
  auto env = home.env();
  EXPECT_EQ(found(derivedData, env), std::vector<std::string>{home.at(root + "Old")});
  env.runningNames = {"xcodebuild"};
  Tally tally;
  EXPECT_EQ(derivedData(env, tally), DiskRuleScan{.note = "xcodebuild is running"});
}

TEST(DiskScannerDownloads, OnlyOldUntouchedVisibleNonGitEntries) {
  FakeHome home;
  const double old = 40 * kDay;
  for (const char* name : {"old.zip", "recent.zip", ".hidden", "edited/notes.txt",
                           "checkout/.git/HEAD", "undated.bin"})
    home.file(std::string("Downloads/") + name, old);
  home.setAge(home.at("Downloads/edited/notes.txt"), kDay);
  for (const char* name : {"edited", "checkout", "checkout/.git"})
    home.setAge(home.at("Downloads/") + name, old);
  for (const char* name : {"old.zip", ".hidden", "edited", "checkout"})
    home.addedAt[home.at("Downloads/") + name] = home.now - old;
  home.addedAt[home.at("Downloads/recent.zip")] = home.now - kDay;
  Tally tally;
  const auto [scan, access] = downloads(home.env(), tally);
  EXPECT_TRUE(access);
  EXPECT_EQ(itemPaths(scan), std::vector<std::string>{home.at("Downloads/old.zip")});
}

TEST(DiskScannerTrash, EverythingAddedLongAgoAndAccessFlags) {
  FakeHome home;
  Tally tally;
  EXPECT_EQ(trash(home.env(), tally), std::make_pair(DiskRuleScan{}, true));  // no Trash
  home.file(".Trash/.hidden-old");  // the Trash needs only an old added date
  home.file(".Trash/new");
  home.addedAt[home.at(".Trash/.hidden-old")] = home.now - 31 * kDay;
  home.addedAt[home.at(".Trash/new")] = home.now - 29 * kDay;
  EXPECT_EQ(itemPaths(trash(home.env(), tally).first),
            std::vector<std::string>{home.at(".Trash/.hidden-old")});
  // Present but not listable (a plain file stands in for a folder the user may not read).
  fs::remove_all(home.at(".Trash"));
  home.file(".Trash");
  home.file("Downloads");
  const auto scan = DiskScanner::scan(home.env());
  EXPECT_FALSE(scan.fullDiskAccess);
  EXPECT_FALSE(scan.downloadsAccess);
  EXPECT_EQ(scan.rules.at(DiskRule::trash).note, "needs Full Disk Access");
  EXPECT_EQ(scan.rules.at(DiskRule::downloads).note, "needs access to Downloads");
}

TEST(DiskScannerTools, DockerAndSimulatorsNeedTheirTools) {
  FakeHome home;
  auto env = home.env();
  env.tool = tools({"docker"});
  EXPECT_EQ(docker(env), DiskRuleScan{.note = "Docker is not running"});  // installed, idle
  env.runningNames = {"com.docker.backend"};
  EXPECT_EQ(docker(env).commands, (Commands{{"/opt/bin/docker", "image", "prune", "-f"}}));
  EXPECT_EQ(simulators(env), DiskRuleScan{.note = "Xcode is not installed"});
  env.tool = tools({"xcrun"});
  EXPECT_EQ(simulators(env).commands,
            (Commands{{"/opt/bin/xcrun", "simctl", "delete", "unavailable"}}));
}

TEST(DiskScannerSuggestions, BigOrLongUnusedItemsInsideTheHome) {
  FakeHome home;
  const auto at = [&](const std::string& rel) { return home.at(rel); };
  const Date longAgo = home.now - 200 * kDay;
  auto env = home.env();
  env.ignored = {at("dismissed.iso")};
  env.kept = DiskPaths::keptEntries({"~/Kept"}, home.path());
  env.spotlight = [&](int64_t minBytes) {
    EXPECT_EQ(minBytes, 500'000'000);
    std::vector<Suggestion> found = {{at("never-used.dmg"), 2'000'000'000, std::nullopt},
                                     {at("recent.mov"), 700'000'000, home.now - 7 * kDay},
                                     {at("old.mov"), 700'000'000, longAgo},
                                     {at("small"), 499'999'999, longAgo}};
    for (const auto& rel : {"Apps/Tool.APP/Contents/blob", "VMs/linux.utm/disk.img", ".Trash/x",
                            "dismissed.iso", "Kept/vm.img"})
      found.push_back({at(rel), 3'000'000'000, std::nullopt});
    found.push_back({"/elsewhere/y", 3'000'000'000, std::nullopt});
    return found;
  };
  EXPECT_EQ(suggestions(env), (std::vector<Suggestion>{{at("never-used.dmg"), 2'000'000'000, {}},
                                                       {at("old.mov"), 700'000'000, longAgo}}));
  env.spotlight = [&](int64_t) { return std::vector<Suggestion>(60, {at("x"), 1'000'000'000}); };
  EXPECT_EQ(suggestions(env).size(), 50u);
}

TEST(DiskScannerBadInput, OddNamesLoopsAndVanishingFoldersStillGiveAScan) {
  FakeHome home;
  const std::string odd[] = {home.file("Library/Caches/app/bad\xff\xfe"),
                             home.file("Library/Caches/app/new\nline")};
  fs::create_directory_symlink(home.at("Library"), home.at("Library/Caches/app/up"));
  fs::create_directory_symlink(home.folder("Library/Logs"), home.at("Library/Logs/loop"));
  home.setAge(home.at("Library/Caches/app"), kDay);
  fs::create_symlink(home.at("Projects/b"), home.folder("Projects") + "/a");
  fs::create_symlink(home.at("Projects/a"), home.at("Projects/b"));
  home.file("Downloads/a.zip", 40 * kDay);
  home.file("Downloads/b-gone/x", 40 * kDay);
  home.setAge(home.at("Downloads/b-gone"), 40 * kDay);
  auto env = home.env();
  env.added = [&](const std::string& path) -> std::optional<Date> {
    // The neighbour vanishes while the scan looks at the first entry.
    if (path == home.at("Downloads/a.zip")) fs::remove_all(home.at("Downloads/b-gone"));
    return home.now - 40 * kDay;
  };
  const auto scan = DiskScanner::scan(env);
  EXPECT_EQ(itemPaths(scan.rules.at(DiskRule::caches)),
            (std::vector<std::string>{odd[0], odd[1], home.at("Library/Caches/app/up")}));
  EXPECT_EQ(itemPaths(scan.rules.at(DiskRule::downloads)),
            std::vector<std::string>{home.at("Downloads/a.zip")});
}

TEST(DiskScannerBadInput, FifosWhereFilesAreReadNeverHoldTheScan) {
  FakeHome home;
  for (const char* v : {"v18.0.0", "v20.0.0"}) home.folder(std::string(".nvm/versions/node/") + v);
  home.file("Projects/web/package.json");
  home.folder(".rustup/toolchains/nightly-x86_64-unknown-linux-gnu");
  for (const char* fifo :
       {".nvm/alias/default", "Projects/web/.nvmrc", "Projects/web/rust-toolchain",
        ".rustup/settings.toml", "Library/Logs/old.log", "Downloads/pipe"}) {
    home.folder(fs::path(fifo).parent_path().string());
    ASSERT_EQ(::mkfifo(home.at(fifo).c_str(), 0600), 0);
    home.setAge(home.at(fifo), 60 * kDay);
    home.addedAt[home.at(fifo)] = home.now - 60 * kDay;
  }
  auto env = home.env();
  env.tool = tools({"rustup"});
  EXPECT_TRUE(passesInChild(
      [&] {
        const auto scan = DiskScanner::scan(env);
        const auto& libraries = scan.rules.at(DiskRule::libraries);
        // Nothing can be told of what the unreadable files pin, so everything stays.
        return libraries.items.empty() && libraries.commands.empty() &&
               libraries.note ==
                   "Node versions all kept: cannot tell which one ~/.nvm/alias/default names; "
                   "rustup toolchains all kept: cannot read ~/.rustup/settings.toml";
      },
      30));
}

TEST(DiskScannerInUse, NoRuleOffersWhatARunningProgramHolds) {
  FakeHome home;
  home.file("Library/Caches/app/server.sock", 0);
  home.file("Library/Caches/app/free.db", 0);
  home.setAge(home.at("Library/Caches/app"), 2 * kHour);
  home.file("Library/Logs/tail.log", 30 * kDay);
  home.file("Downloads/movie.iso", 60 * kDay);
  home.file(".Trash/old.iso");
  home.file(".cargo/registry/cache/index/crate.crate");
  home.folder(".nvm/versions/node/v1.0.0");
  home.folder(".nvm/versions/node/v2.0.0");
  std::ofstream(home.file(".nvm/alias/default")) << "2";
  home.addedAt[home.at("Downloads/movie.iso")] = home.now - 60 * kDay;
  home.addedAt[home.at(".Trash/old.iso")] = home.now - 60 * kDay;
  auto env = home.env();
  env.inUse = holding({{home.at("Library/Caches/app/server.sock"), "socket of srv (pid 8)"},
                       {home.at("Library/Logs/tail.log"), "open in tail (pid 9)"},
                       {home.at("Downloads/movie.iso"), "open in vlc (pid 10)"},
                       {home.at(".Trash/old.iso"), "open in vlc (pid 10)"},
                       {home.at(".cargo/registry/cache/index/x"), "open in cargo (pid 11)"},
                       {home.at(".nvm/versions/node/v1.0.0"), "working folder of sh (pid 12)"}});
  const auto scan = DiskScanner::scan(env);
  for (const auto& [rule, found] : scan.rules)
    EXPECT_TRUE(found.items.empty()) << found.note.value_or("");
  const std::pair<DiskRule, std::string> notes[] = {
      {DiskRule::caches, "1 item in use left out: ~/Library/Caches/app, socket of srv (pid 8)"},
      {DiskRule::logs, "1 item in use left out: ~/Library/Logs/tail.log, open in tail (pid 9)"},
      {DiskRule::downloads, "1 item in use left out: ~/Downloads/movie.iso, open in vlc (pid 10)"},
      {DiskRule::trash, "1 item in use left out: ~/.Trash/old.iso, open in vlc (pid 10)"},
      {DiskRule::packageCaches,
       "no package tool found; 1 item in use left out: ~/.cargo/registry/cache/index, open in "
       "cargo (pid 11)"},
      {DiskRule::libraries,
       "1 item in use left out: ~/.nvm/versions/node/v1.0.0, working folder of sh (pid 12)"},
  };
  for (const auto& [rule, note] : notes) EXPECT_EQ(scan.rules.at(rule).note, note);
}

TEST(DiskScannerBadInput, WhatCannotBeReadIsNamedAndNeverOfferedAtAGuessedSize) {
  FakeHome home;
  home.file("Library/Caches/app/locked/data", 0, 100'000);
  home.file("Library/Caches/app/fine", 0, 100);
  home.deepFile("Library/Caches/app/deep", FileWalk::kMaxDepth + 3);
  home.setAge(home.at("Library/Caches/app"), 2 * kHour);
  home.file("Library/Logs/locked/old.log", 30 * kDay);
  const auto open = home.file("Library/Logs/open.log", 30 * kDay);
  for (const char* locked : {"Library/Caches/app/locked", "Library/Logs/locked"})
    fs::permissions(home.at(locked), fs::perms::none);
  EXPECT_TRUE(passesAsNobody(home, [&] {
    const auto scan = DiskScanner::scan(home.env());
    const auto& caches = scan.rules.at(DiskRule::caches);
    const auto& logs = scan.rules.at(DiskRule::logs);
    return itemPaths(caches) == std::vector<std::string>{home.at("Library/Caches/app/fine")} &&
           caches.note ==
               "1 item left out, with parts that could not be read: ~/Library/Caches/app/locked; "
               "1 item left out, holding folders deeper than 256 levels: "
               "~/Library/Caches/app/deep" &&
           itemPaths(logs) == std::vector<std::string>{open} &&
           logs.note == "1 folder could not be read: ~/Library/Logs/locked";
  }));
  for (const char* locked : {"Library/Caches/app/locked", "Library/Logs/locked"})
    fs::permissions(home.at(locked), fs::perms::owner_all);
}

TEST(DiskScannerProgress, CountsItemsAndBytesAcrossTheSteps) {
  FakeHome home;
  for (int i = 0; i < 10; ++i) home.file("Library/Caches/app/f" + std::to_string(i), 0, 5000);
  home.setAge(home.at("Library/Caches/app"), 2 * kHour);
  std::vector<std::tuple<std::string, uint64_t, int64_t>> seen;
  const auto scan = DiskScanner::scan(home.env(), [&](const ScanProgress& progress) {
    seen.emplace_back(std::string(progress.step), progress.items, progress.bytes);
  });
  ASSERT_EQ(seen.size(), 11u);  // each rule and the large items, as they begin
  EXPECT_EQ(seen.front(), std::make_tuple(std::string("App caches"), uint64_t{0}, int64_t{0}));
  // By the next step the ten cache files have been measured.
  EXPECT_EQ(std::get<0>(seen[1]), "Logs and crash reports");
  EXPECT_EQ(std::get<1>(seen[1]), 10u);
  EXPECT_EQ(std::get<2>(seen[1]), scan.rules.at(DiskRule::caches).bytes);
  EXPECT_EQ(std::get<0>(seen.back()), "Large items");
}

}  // namespace
}  // namespace kelvane
