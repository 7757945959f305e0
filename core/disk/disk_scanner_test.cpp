#include "core/disk/disk_scanner.h"

#include <filesystem>
#include <functional>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/disk_records/disk_paths.h"
#include "core/disk/testing/fake_home.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
using namespace DiskScanner;
using Commands = std::vector<std::vector<std::string>>;
constexpr double kDay = FakeHome::kDay;
constexpr double kHour = 3600;

std::vector<std::string> paths(const DiskRuleScan& scan) {
  std::vector<std::string> out;
  for (const auto& item : scan.items) out.push_back(item.path);
  return out;
}

// The paths one rule proposes, measured with a fresh record of hard links.
template <class Rule>
std::vector<std::string> found(Rule rule, const DiskEnvironment& env) {
  HardLinks links;
  return paths(rule(env, links));
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
  env.openFiles = {home.at(dir + "held/x"), home.at(dir + "idle")};
  HardLinks links;
  auto scan = caches(env, links);
  EXPECT_EQ(paths(scan),
            (std::vector<std::string>{home.at(dir + "idle/x"), home.at(dir + "pip/x")}));
  EXPECT_EQ(scan.items[0].root, home.at("Library/Caches"));
  EXPECT_GE(scan.items[0].bytes, 5000);
  EXPECT_EQ(scan.bytes, scan.items[0].bytes + scan.items[1].bytes);
  env.tool = tools({"pip"});  // pip's cache is then left to its own command
  EXPECT_EQ(found(caches, env), std::vector<std::string>{home.at(dir + "idle/x")});
}

TEST(DiskScannerPackageCaches, ToolOrderKeptCachesAndCargo) {
  FakeHome home;
  home.file(".npm/_cacache/blob", 0, 8192);
  auto env = home.env();
  HardLinks links;
  EXPECT_EQ(packageCaches(env, links).note, "no package tool found");
  home.file(".cargo/registry/cache/index/crate-1.0.crate", 0, 4096);
  EXPECT_EQ(packageCaches(env, links).items.size(), 1u);  // cargo needs no tool
  env.tool = tools({"bun", "npm", "pip3", "pip", "pnpm"});
  env.kept = DiskPaths::keptEntries({"~/Library/pnpm"}, home.path());
  HardLinks fresh;
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
  HardLinks links;
  EXPECT_EQ(derivedData(env, links), DiskRuleScan{.note = "xcodebuild is running"});
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
  HardLinks links;
  const auto [scan, access] = downloads(home.env(), links);
  EXPECT_TRUE(access);
  EXPECT_EQ(paths(scan), std::vector<std::string>{home.at("Downloads/old.zip")});
}

TEST(DiskScannerTrash, EverythingAddedLongAgoAndAccessFlags) {
  FakeHome home;
  HardLinks links;
  EXPECT_EQ(trash(home.env(), links), std::make_pair(DiskRuleScan{}, true));  // no Trash
  home.file(".Trash/.hidden-old");  // the Trash needs only an old added date
  home.file(".Trash/new");
  home.addedAt[home.at(".Trash/.hidden-old")] = home.now - 31 * kDay;
  home.addedAt[home.at(".Trash/new")] = home.now - 29 * kDay;
  EXPECT_EQ(paths(trash(home.env(), links).first),
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
  EXPECT_EQ(paths(scan.rules.at(DiskRule::caches)),
            (std::vector<std::string>{odd[0], odd[1], home.at("Library/Caches/app/up")}));
  EXPECT_EQ(paths(scan.rules.at(DiskRule::downloads)),
            std::vector<std::string>{home.at("Downloads/a.zip")});
}

// Runs `check` as the unprivileged user "nobody" in a child process, with the
// home handed to that user, so that permissions hold even when the tests run as
// root; returns whether it passed.
bool passesAsNobody(const FakeHome& home, const std::function<bool()>& check) {
  constexpr uid_t kNobody = 65534;
  for (const auto& entry : fs::recursive_directory_iterator(home.path()))
    if (::lchown(entry.path().c_str(), kNobody, kNobody) != 0) return false;
  if (::lchown(home.path().c_str(), kNobody, kNobody) != 0) return false;
  const pid_t child = ::fork();
  if (child == 0) {
    const bool dropped =
        ::setgroups(0, nullptr) == 0 && ::setgid(kNobody) == 0 && ::setuid(kNobody) == 0;
    ::_exit(dropped && check() ? 0 : 1);
  }
  int status = 0;
  return child > 0 && ::waitpid(child, &status, 0) == child && WIFEXITED(status) &&
         WEXITSTATUS(status) == 0;
}

TEST(DiskScannerBadInput, UnreadableFoldersContributeNothing) {
  FakeHome home;
  home.file("Library/Logs/locked/old.log", 30 * kDay);
  const auto open = home.file("Library/Logs/open.log", 30 * kDay);
  fs::permissions(home.at("Library/Logs/locked"), fs::perms::none);
  const auto check = [&] { return found(logs, home.env()) == std::vector<std::string>{open}; };
  EXPECT_TRUE(::geteuid() == 0 ? passesAsNobody(home, check) : check());
  fs::permissions(home.at("Library/Logs/locked"), fs::perms::owner_all);
}

}  // namespace
}  // namespace kelvane
