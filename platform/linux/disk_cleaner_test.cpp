#include "platform/linux/disk_cleaner.h"

#include <atomic>

#include <gtest/gtest.h>

#include "core/disk_records/disk_paths.h"
#include "platform/linux/in_use.h"
#include "platform/linux/testing/sleeper.h"
#include "platform/linux/testing/trash_home.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
const Date kNow = Date::fromUnix(1796634172);

// A cleanup of one job with a recorded progress.
struct Cleanup {
  TrashHome home;
  DiskRunControl control;
  std::vector<DiskProgress> events;
  std::vector<std::string> kept;
  std::map<std::string, std::string> busy;               // Paths in use, with the reason.
  std::function<void(const std::string& path)> onCheck;  // Called as each item is checked.

  Cleanup() {
    control.setReport([this](const DiskProgress& p) { events.push_back(p); });
  }
  DiskCleanerSetup setup() {
    return DiskCleanerSetup{
        .trash = home.freedesktop(),
        .kept = [this] { return DiskPaths::keptEntries(kept, home.path().string()); },
        .inUse = [this](const std::string& path) -> std::optional<std::string> {
          if (onCheck) onCheck(path);
          const auto found = busy.find(path);
          if (found == busy.end()) return std::nullopt;
          return found->second;
        },
        .run =
            [](const std::vector<std::string>& args) { return Shell::run(args, std::nullopt, 10); },
        .now = [] { return kNow; }};
  }
  DiskItem item(const std::string& relative, const std::string& root, int64_t bytes = 10) {
    return DiskItem{.path = (home.path() / relative).string(),
                    .root = (home.path() / root).string(),
                    .bytes = bytes};
  }
  Outcome clean(DiskJob job) {
    return DiskCleaner(setup(), control).clean(Action{.kind = ActionKind::cleanDisk, .disk = job});
  }
};

TEST(DiskCleaner, RemovesWithoutFollowingLinksAndLeavesWhatItMayNotTouch) {
  Cleanup c;
  c.home.file("Library/Caches/app/blob");
  c.home.file("Library/Caches/ro/sub/file");  // a read-only cache, as Go's module cache
  fs::permissions(c.home.path() / "Library/Caches/ro/sub",
                  fs::perms::owner_read | fs::perms::owner_exec);
  fs::permissions(c.home.path() / "Library/Caches/ro",
                  fs::perms::owner_read | fs::perms::owner_exec);
  const std::string precious = c.home.file("Documents/precious.txt", "mine");
  fs::create_directory_symlink(c.home.path() / "Documents", c.home.path() / "Library/Caches/docs");
  c.home.file("Library/Caches/keep/x");
  c.home.file("Library/Caches/open/db");
  c.home.file("Documents/outside.txt");
  c.kept = {"~/Library/Caches/keep"};
  c.busy[(c.home.path() / "Library/Caches/open").string()] = "open in vim (pid 9)";

  const Outcome outcome = c.clean(DiskJob{
      .rule = DiskRule::caches,
      .items = {c.item("Library/Caches/app", "Library/Caches", 100),
                c.item("Library/Caches/ro", "Library/Caches", 200),
                c.item("Library/Caches/docs", "Library/Caches", 300),  // a link to Documents
                c.item("Library/Caches/keep", "Library/Caches"),
                c.item("Library/Caches/open", "Library/Caches"),
                c.item("Documents/outside.txt", "Library/Caches"),
                c.item("Library/Caches/gone", "Library/Caches")},
      .bytes = 1000});
  for (const char* gone : {"app", "ro", "docs"})
    EXPECT_FALSE(fs::exists(fs::symlink_status(c.home.path() / "Library/Caches" / gone))) << gone;
  EXPECT_EQ(TrashHome::read(precious), "mine");  // the link went, not what it named
  for (const char* stays :
       {"Library/Caches/keep/x", "Library/Caches/open/db", "Documents/outside.txt"})
    EXPECT_TRUE(fs::exists(c.home.path() / stays)) << stays;
  const std::string base = c.home.path().string();
  EXPECT_EQ(outcome.result, "done");
  EXPECT_EQ(outcome.note, "left " + base + "/Library/Caches/keep (kept); " + base +
                              "/Library/Caches/open (open in vim (pid 9)); " + base +
                              "/Documents/outside.txt (not inside its folder); " + base +
                              "/Library/Caches/gone (already gone)");
  EXPECT_EQ(c.events,
            (std::vector<DiskProgress>{DiskProgress::started("caches"),
                                       DiskProgress::finished("caches", true, 600, false, false)}));
}

TEST(DiskCleaner, DownloadsGoToTheTrashAndCommandsRunThroughTheShell) {
  Cleanup c;
  c.home.file("Downloads/a.iso");
  const Outcome trashed = c.clean(DiskJob{.items = {c.item("Downloads/a.iso", "Downloads", 50)},
                                          .bytes = 50,
                                          .count = 1,
                                          .trash = true});
  EXPECT_EQ(trashed, Outcome::undoable("restore it from the Trash"));
  EXPECT_TRUE(fs::exists(fs::path(c.home.trash()) / "files/a.iso"));
  EXPECT_EQ(c.events.back(), DiskProgress::finished("picked", true, 50, true, false));

  // The commands' share of the bytes counts when they all ran well.
  const Outcome ran = c.clean(DiskJob{
      .rule = DiskRule::packageCaches, .commands = {{"/bin/sh", "-c", "exit 0"}}, .bytes = 4000});
  EXPECT_EQ(ran, Outcome::done());
  EXPECT_EQ(c.events.back(), DiskProgress::finished("packageCaches", true, 4000, false, false));
  const Outcome failed = c.clean(DiskJob{
      .rule = DiskRule::docker, .commands = {{"/bin/sh", "-c", "exit 3"}, {"/nonexistent"}}});
  EXPECT_EQ(failed.result, "failed: exit status 3");
  EXPECT_EQ(failed.note, "left sh (exit status 3); nonexistent (could not run)");
  EXPECT_EQ(c.events.back(), DiskProgress::finished("docker", false, 0, false, false));

  c.busy[(c.home.path() / "Downloads/b").string()] = "working folder of zsh (pid 7)";
  c.home.file("Downloads/b/x");
  const Outcome left =
      c.clean(DiskJob{.items = {c.item("Downloads/b", "Downloads")}, .trash = true});
  EXPECT_EQ(left.result, "skipped: working folder of zsh (pid 7)");
}

TEST(DiskCleaner, AStopBetweenItemsLeavesEachInPlaceOrWholeInTheTrash) {
  Cleanup c;
  std::vector<DiskItem> items;
  for (const char* name : {"one", "two", "three", "four"}) {
    c.home.file(std::string("Downloads/") + name + "/inner/file", name);
    items.push_back(c.item(std::string("Downloads/") + name, "Downloads"));
  }
  c.onCheck = [&](const std::string& path) {
    if (path.ends_with("/two")) c.control.stop();  // the user stops during the second item
  };
  const Outcome outcome = c.clean(DiskJob{.items = items, .count = 4, .trash = true});
  EXPECT_EQ(outcome.result, "done");
  EXPECT_EQ(outcome.note, "stopped after 2 of 4");
  const fs::path files = fs::path(c.home.trash()) / "files";
  for (const char* name : {"one", "two"})
    EXPECT_EQ(TrashHome::read(files / name / "inner/file"), name);
  for (const char* name : {"three", "four"})
    EXPECT_EQ(TrashHome::read(c.home.path() / "Downloads" / name / "inner/file"), name);
  EXPECT_EQ(c.events.back(), DiskProgress::finished("picked", true, 20, true, true));

  // A stop before the row began: nothing is touched.
  c.events.clear();
  EXPECT_EQ(c.clean(DiskJob{.rule = DiskRule::downloads, .items = {items[2]}, .trash = true}),
            Outcome::stopped());
  EXPECT_EQ(c.events,
            std::vector<DiskProgress>{DiskProgress::finished("downloads", false, 0, true, true)});
  EXPECT_TRUE(fs::exists(items[2].path));
}

TEST(DiskCleaner, APauseHoldsBeforeTheNextItemUntilResumed) {
  Cleanup c;
  c.home.file("Downloads/a");
  c.home.file("Downloads/b");
  std::atomic<bool> holding = false;
  c.control.setReport([&](const DiskProgress& p) {
    if (p.kind == DiskProgress::Kind::holding && p.holding) {
      holding = true;
      EXPECT_TRUE(fs::exists(c.home.path() / "Downloads/b"));  // held before touching it
      c.control.resume();
    }
  });
  c.onCheck = [&](const std::string& path) {
    if (path.ends_with("/a")) c.control.pause();
  };
  const Outcome outcome = c.clean(
      DiskJob{.items = {c.item("Downloads/a", "Downloads"), c.item("Downloads/b", "Downloads")},
              .trash = true});
  EXPECT_TRUE(holding);
  EXPECT_EQ(outcome.result, "done");
  EXPECT_FALSE(fs::exists(c.home.path() / "Downloads/b"));
}

TEST(DiskCleaner, OldTrashItemsTakeTheirDescriptionWithThem) {
  Cleanup c;
  const std::string old = c.home.file("Documents/old.txt");
  ASSERT_TRUE(trashPath(c.home.freedesktop(), old, kNow));
  const std::string files = c.home.trash() + "/files";
  const Outcome outcome =
      c.clean(DiskJob{.rule = DiskRule::trash, .items = {DiskItem{files + "/old.txt", files, 4}}});
  EXPECT_EQ(outcome, Outcome::done());
  EXPECT_FALSE(fs::exists(files + "/old.txt"));
  EXPECT_FALSE(fs::exists(c.home.trash() + "/info/old.txt.trashinfo"));
}

// The real in-use check, run right before each item, keeps what live processes hold.
TEST(DiskCleaner, LiveHoldersKeepTheirItemsWithTheReason) {
  Cleanup c;
  const std::string file = c.home.file("Downloads/movie.mkv");
  const std::string work = (c.home.path() / "Downloads/project").string();
  fs::create_directories(work);
  const std::string sock = c.home.file("Library/Caches/srv/server.sock");
  fs::remove(sock);
  Sleeper player = Sleeper::holdingOpen(file);
  Sleeper shell = Sleeper::workingIn(work);
  Sleeper server = Sleeper::listeningAt(sock);
  ASSERT_TRUE(player.ready() && shell.ready() && server.ready());
  DiskCleanerSetup setup = c.setup();
  setup.inUse = [](const std::string& path) {
    return InUse::read(ProcReader(), ::getpid()).reason(path);
  };
  const auto by = [](const Sleeper& s) { return " sleep (pid " + std::to_string(s.pid()) + ")"; };

  const Outcome outcome =
      DiskCleaner(setup, c.control)
          .clean(
              Action{.kind = ActionKind::cleanDisk,
                     .disk = DiskJob{.items = {c.item("Downloads/movie.mkv", "Downloads"),
                                               c.item("Downloads/project", "Downloads"),
                                               c.item("Library/Caches/srv", "Library/Caches")}}});
  EXPECT_EQ(outcome.result, "skipped: open in" + by(player));
  EXPECT_EQ(outcome.note, "left " + file + " (open in" + by(player) + "); " + work +
                              " (working folder of" + by(shell) + "); " +
                              (c.home.path() / "Library/Caches/srv").string() + " (socket of" +
                              by(server) + ")");
  for (const auto& path : {file, work, sock}) EXPECT_TRUE(fs::exists(path)) << path;
}

}  // namespace
}  // namespace kelvane
