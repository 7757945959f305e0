#include "platform/linux/freedesktop_trash.h"

#include <sys/mount.h>

#include <gtest/gtest.h>

#include "core/shell/shell.h"
#include "platform/linux/testing/trash_home.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;
const Date kToday = Date::fromUnix(1796634172);  // 2026-12-07T09:02:52Z

// Lists the home Trash with the desktop's own client, as a user's file manager would.
std::optional<std::string> gioList(const TrashHome& home) {
  if (!fs::exists("/usr/bin/gio") || !fs::exists("/usr/bin/dbus-run-session") ||
      !fs::exists("/usr/libexec/gvfsd-trash"))
    return std::nullopt;
  const std::string h = home.path().string();
  const auto result =
      Shell::run({"/usr/bin/dbus-run-session", "--", "/usr/bin/gio", "trash", "--list"},
                 ShellEnv{{"HOME", h},
                          {"XDG_DATA_HOME", h + "/.local/share"},
                          {"XDG_RUNTIME_DIR", h},
                          {"PATH", "/usr/bin:/bin"}},
                 30);
  if (!result || result->status != 0) return std::nullopt;
  return result->out;
}

TEST(FreedesktopTrash, ItemsGoWholeIntoTheHomeTrashWithInfoARealClientLists) {
  TrashHome home;
  const FreedesktopTrash trash = home.freedesktop();
  const std::string pdf = home.file("Downloads/report 100%.pdf");
  const std::string nested = home.file("Downloads/site/css/a.css");
  const std::string first = home.file("Downloads/dup", "one");
  const std::string second = home.file("Downloads/old/dup", "two");
  fs::create_symlink(pdf, home.path() / "Downloads/link");
  const std::string link = (home.path() / "Downloads/link").string();
  const std::string site = (home.path() / "Downloads/site").string();

  for (const auto& path : {pdf, site, first, second, link}) {
    const auto moved = trashPath(trash, path, kToday);
    ASSERT_TRUE(moved) << path << ": " << moved.error();
    EXPECT_FALSE(fs::exists(fs::symlink_status(path))) << path;
  }
  const fs::path files = fs::path(home.trash()) / "files";
  EXPECT_EQ(TrashHome::read(files / "dup"), "one");
  EXPECT_EQ(TrashHome::read(files / "dup.2"), "two");  // a second item of the same name
  EXPECT_EQ(TrashHome::read(files / "site/css/a.css"), "data");
  EXPECT_TRUE(fs::is_symlink(files / "link"));  // the link itself, not what it names
  EXPECT_EQ(TrashHome::read(fs::path(home.trash()) / "info/report 100%.pdf.trashinfo"),
            "[Trash Info]\nPath=" + FreedesktopTrash::encodedPath(pdf) +
                "\nDeletionDate=2026-12-07T09:02:52\n");
  EXPECT_NE(FreedesktopTrash::encodedPath(pdf).find("report%20100%25.pdf"), std::string::npos);

  const auto listed = gioList(home);
  if (!listed)
    GTEST_SKIP() << "gio, gvfs or dbus-run-session missing: scripts/setup.sh installs them";
  for (const auto& path : {pdf, site, first, second, link})
    EXPECT_NE(listed->find("\t" + path + "\n"), std::string::npos) << path << " in:\n" << *listed;
}

TEST(FreedesktopTrash, ReadsDeletionDatesAndKnowsInfoFiles) {
  const Calendar utc = Calendar::utc();
  EXPECT_EQ(FreedesktopTrash::deletionDate(
                "[Trash Info]\r\nPath=/a\r\nDeletionDate=2026-12-07T09:02:52\r\n", utc),
            kToday);
  for (const char* bad : {"[Trash Info]\nDeletionDate=2026-13-07T09:02:52\n",
                          "[Trash Info]\nDeletionDate=yesterday\n",
                          "[Other]\nDeletionDate=2026-12-07T09:02:52\n", ""})
    EXPECT_EQ(FreedesktopTrash::deletionDate(bad, utc), std::nullopt) << bad;
  EXPECT_EQ(FreedesktopTrash::infoFileOf("/h/.local/share/Trash/files/a b"),
            "/h/.local/share/Trash/info/a b.trashinfo");
  EXPECT_EQ(FreedesktopTrash::infoFileOf("/h/.local/share/Trash/files/a/b"), std::nullopt);
  EXPECT_EQ(FreedesktopTrash::infoFileOf("/h/Trash/files/.."), std::nullopt);
}

// A tmpfs the test mounts stands for another disk.
class Volume {
 public:
  explicit Volume(const fs::path& at) : at_(at) {
    fs::create_directories(at);
    mounted_ = ::mount("kelvane-test", at.c_str(), "tmpfs", 0, "size=4m") == 0;
  }
  ~Volume() {
    if (mounted_) ::umount2(at_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  fs::path at_;
  bool mounted_ = false;
};

TEST(FreedesktopTrash, AnotherFileSystemUsesItsOwnTrashOrTheItemStays) {
  TrashHome home;
  const Volume volume(home.path() / "vol");
  if (!volume.mounted()) GTEST_SKIP() << "mounting a tmpfs needs root";
  const FreedesktopTrash trash = home.freedesktop();
  const std::string uid = std::to_string(::geteuid());

  const std::string notes = home.file("vol/docs/notes.txt");
  const auto moved = trashPath(trash, notes, kToday);
  ASSERT_TRUE(moved) << moved.error();
  EXPECT_EQ(*moved, (home.path() / ("vol/.Trash-" + uid) / "files/notes.txt").string());
  EXPECT_EQ(TrashHome::read(home.path() / ("vol/.Trash-" + uid) / "info/notes.txt.trashinfo"),
            "[Trash Info]\nPath=docs/notes.txt\nDeletionDate=2026-12-07T09:02:52\n");
  EXPECT_FALSE(fs::exists(fs::path(home.trash()) / "files/notes.txt"));  // never copied home

  // A shared, sticky .Trash on the volume holds a folder per user.
  fs::create_directory(home.path() / "vol/.Trash");
  fs::permissions(home.path() / "vol/.Trash", fs::perms::all | fs::perms::sticky_bit);
  const auto shared = trashPath(trash, home.file("vol/b.txt"), kToday);
  ASSERT_TRUE(shared) << shared.error();
  EXPECT_EQ(*shared, (home.path() / "vol/.Trash" / uid / "files/b.txt").string());

  // A volume whose Trash folders are links leads nowhere: the item stays.
  const Volume other(home.path() / "other");
  ASSERT_TRUE(other.mounted());
  fs::create_directory_symlink("/tmp", home.path() / ("other/.Trash-" + uid));
  const std::string stays = home.file("other/c.txt", "keep me");
  const auto refused = trashPath(trash, stays, kToday);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(), "no Trash on its file system");
  EXPECT_EQ(TrashHome::read(stays), "keep me");
}

}  // namespace
}  // namespace kelvane
