#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <limits.h>
#include <linux/fs.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "core/support/text.h"
#include "platform/linux/freedesktop_trash.h"
#include "platform/linux/owned_fd.h"

namespace kelvane {
namespace {

constexpr int kMaxNameTries = 1000;
constexpr size_t kMaxInfoName = NAME_MAX - 10;  // room for ".trashinfo"

Unexpected<std::string> because(std::string why) { return Unexpected<std::string>(std::move(why)); }
Unexpected<std::string> becauseErrno() { return because(std::strerror(errno)); }

// Opens (making it when missing, mode 0700) the folder `name` below `parent`, refusing
// a link or anything not a folder of ours.
OwnedFd ownFolder(int parent, const char* name, uint32_t uid) {
  if (::mkdirat(parent, name, 0700) != 0 && errno != EEXIST) return OwnedFd();
  OwnedFd folder(::openat(parent, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat info {};
  if (!folder.valid() || ::fstat(folder.get(), &info) != 0 || info.st_uid != uid) return OwnedFd();
  return folder;
}

// A Trash folder's files/ and info/, opened.
struct TrashFolder {
  std::string path;
  OwnedFd files;
  OwnedFd info;
  std::string topdir;  // Empty for the home Trash, whose info holds absolute paths.
};

// Opens the Trash at `path`, making it when missing; `makeParents` makes the folders
// above it too (the home Trash's are the user's own data folders).
std::optional<TrashFolder> openTrash(const std::string& path, uint32_t uid, std::string topdir,
                                     bool makeParents) {
  if (path.empty() || path.front() != '/') return std::nullopt;
  const std::string parent = path.substr(0, path.rfind('/'));
  for (size_t at = 1; makeParents && at != std::string::npos && at <= parent.size();) {
    at = parent.find('/', at + 1);
    ::mkdir(parent.substr(0, at).c_str(), 0700);  // an existing folder is fine
  }
  OwnedFd above(::open(parent.empty() ? "/" : parent.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!above.valid()) return std::nullopt;
  const std::string leaf = path.substr(path.rfind('/') + 1);
  OwnedFd trash = ownFolder(above.get(), leaf.c_str(), uid);
  if (!trash.valid()) return std::nullopt;
  TrashFolder folder{path, ownFolder(trash.get(), "files", uid),
                     ownFolder(trash.get(), "info", uid), std::move(topdir)};
  if (!folder.files.valid() || !folder.info.valid()) return std::nullopt;
  return folder;
}

// The top folder of the file system holding the open folder `folder`, and its path.
std::optional<std::pair<std::string, std::string>> topdirOf(int folder) {
  char real[PATH_MAX];
  const std::string link = "/proc/self/fd/" + std::to_string(folder);
  const ssize_t n = ::readlink(link.c_str(), real, sizeof real - 1);
  struct stat here {};
  if (n <= 0 || real[0] != '/' || ::fstat(folder, &here) != 0) return std::nullopt;
  std::string path(real, static_cast<size_t>(n));
  std::string top = path;
  while (top != "/") {
    const std::string up = top.rfind('/') == 0 ? "/" : top.substr(0, top.rfind('/'));
    struct stat info {};
    if (::stat(up.c_str(), &info) != 0 || info.st_dev != here.st_dev) break;
    top = up;
  }
  return std::make_pair(top, path);
}

// The volume's Trash: a shared $topdir/.Trash (a sticky folder, not a link) with our
// own folder in it, else $topdir/.Trash-$uid.
std::optional<TrashFolder> volumeTrash(const std::string& topdir, uint32_t uid) {
  const std::string base = topdir == "/" ? "" : topdir;
  struct stat shared {};
  if (::lstat((base + "/.Trash").c_str(), &shared) == 0 && S_ISDIR(shared.st_mode) &&
      (shared.st_mode & S_ISVTX))
    if (auto trash = openTrash(base + "/.Trash/" + std::to_string(uid), uid, topdir, false))
      return trash;
  return openTrash(base + "/.Trash-" + std::to_string(uid), uid, topdir, false);
}

std::string twoDigits(int value) {
  char text[8];
  std::snprintf(text, sizeof text, "%02d", value);
  return text;
}

std::string infoText(const std::string& path, const TrashFolder& trash, Date now,
                     const Calendar& calendar) {
  std::string shown = path;
  if (!trash.topdir.empty() && trash.topdir != "/" && path.starts_with(trash.topdir + "/"))
    shown = path.substr(trash.topdir.size() + 1);  // relative to the volume's top
  const LocalTime t = calendar.local(now);
  return "[Trash Info]\nPath=" + FreedesktopTrash::encodedPath(shown) +
         "\nDeletionDate=" + std::to_string(t.year) + "-" + twoDigits(t.month) + "-" +
         twoDigits(t.day) + "T" + twoDigits(t.hour) + ":" + twoDigits(t.minute) + ":" +
         twoDigits(t.second) + "\n";
}

// Claims a name in info/ by making its .trashinfo exclusively: "x", then "x.2", ...
std::optional<std::string> claimName(const TrashFolder& trash, std::string_view name,
                                     const std::string& text) {
  std::string base(name.substr(0, kMaxInfoName));
  for (int n = 1; n <= kMaxNameTries; ++n) {
    const std::string candidate = n == 1 ? base : base + "." + std::to_string(n);
    const std::string info = candidate + ".trashinfo";
    struct stat taken {};
    if (::fstatat(trash.files.get(), candidate.c_str(), &taken, AT_SYMLINK_NOFOLLOW) == 0)
      continue;  // a file without its info, left by someone else
    const OwnedFd file(::openat(trash.info.get(), info.c_str(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file.valid() && errno == EEXIST) continue;
    if (!file.valid()) return std::nullopt;
    if (::write(file.get(), text.data(), text.size()) != static_cast<ssize_t>(text.size()) ||
        ::fsync(file.get()) != 0) {
      ::unlinkat(trash.info.get(), info.c_str(), 0);
      return std::nullopt;
    }
    return candidate;
  }
  return std::nullopt;
}

}  // namespace

FreedesktopTrash::FreedesktopTrash(std::string homeTrash, uint32_t uid, Calendar calendar)
    : homeTrash_(std::move(homeTrash)), uid_(uid), calendar_(calendar) {}

Result<std::string, std::string> FreedesktopTrash::move(int folder, std::string_view name,
                                                        const std::string& path, Date now) const {
  struct stat item {};
  if (::fstatat(folder, std::string(name).c_str(), &item, AT_SYMLINK_NOFOLLOW) != 0)
    return becauseErrno();
  std::optional<TrashFolder> trash = openTrash(homeTrash_, uid_, "", true);
  struct stat home {};
  if (!trash || ::fstat(trash->files.get(), &home) != 0)
    return because("the Trash cannot be opened");
  if (home.st_dev != item.st_dev) {
    const auto top = topdirOf(folder);
    trash = top ? volumeTrash(top->first, uid_) : std::nullopt;
    struct stat volume {};
    if (!trash || ::fstat(trash->files.get(), &volume) != 0 || volume.st_dev != item.st_dev)
      return because("no Trash on its file system");
  }
  const auto claimed = claimName(*trash, name, infoText(path, *trash, now, calendar_));
  if (!claimed) return because("the Trash cannot be written");
  // One rename: the item is either still in place or whole in the Trash.
  if (::renameat2(folder, std::string(name).c_str(), trash->files.get(), claimed->c_str(),
                  RENAME_NOREPLACE) != 0) {
    const std::string why = errno == EXDEV ? "no Trash on its file system" : std::strerror(errno);
    ::unlinkat(trash->info.get(), (*claimed + ".trashinfo").c_str(), 0);
    return because(why);
  }
  ::fsync(trash->files.get());
  return trash->path + "/files/" + *claimed;
}

std::optional<std::string> FreedesktopTrash::infoFileOf(std::string_view trashedPath) {
  const size_t slash = trashedPath.rfind('/');
  if (slash == std::string_view::npos || slash < 6) return std::nullopt;
  const std::string_view folder = trashedPath.substr(0, slash);
  const std::string_view name = trashedPath.substr(slash + 1);
  if (!folder.ends_with("/files") || name.empty() || name == "." || name == "..")
    return std::nullopt;
  return std::string(folder.substr(0, folder.size() - 5)) + "info/" + std::string(name) +
         ".trashinfo";
}

std::optional<Date> FreedesktopTrash::deletionDate(std::string_view info,
                                                   const Calendar& calendar) {
  bool inGroup = false;
  for (const auto raw : Text::split(info, '\n')) {
    std::string_view line = raw;
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.starts_with('[')) inGroup = line == "[Trash Info]";
    if (!inGroup || !line.starts_with("DeletionDate=")) continue;
    LocalTime t;
    char separator = 0;
    const std::string value(line.substr(13));
    if (std::sscanf(value.c_str(), "%4d-%2d-%2d%c%2d:%2d:%2d", &t.year, &t.month, &t.day,
                    &separator, &t.hour, &t.minute, &t.second) != 7 ||
        separator != 'T' || t.month < 1 || t.month > 12 || t.day < 1 || t.day > 31 || t.hour > 23 ||
        t.minute > 59 || t.second > 60 || t.hour < 0 || t.minute < 0 || t.second < 0)
      return std::nullopt;
    return calendar.dateOf(t);
  }
  return std::nullopt;
}

std::optional<Date> FreedesktopTrash::deletedAt(std::string_view trashedPath,
                                                const Calendar& calendar) {
  constexpr ssize_t kMaxInfoBytes = 64 * 1024;
  const auto info = infoFileOf(trashedPath);
  if (!info) return std::nullopt;
  // Never a link, and never a FIFO that would block the scan.
  const OwnedFd file(::open(info->c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat kind {};
  if (!file.valid() || ::fstat(file.get(), &kind) != 0 || !S_ISREG(kind.st_mode))
    return std::nullopt;
  std::string text(static_cast<size_t>(kMaxInfoBytes), '\0');
  const ssize_t n = ::read(file.get(), text.data(), text.size());
  if (n <= 0) return std::nullopt;
  text.resize(static_cast<size_t>(n));
  return deletionDate(text, calendar);
}

std::string FreedesktopTrash::encodedPath(std::string_view path) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (plain || c == '-' || c == '_' || c == '.' || c == '~' || c == '/') {
      encoded += c;
    } else {
      encoded += '%';
      encoded += kHex[byte >> 4];
      encoded += kHex[byte & 15];
    }
  }
  return encoded;
}

}  // namespace kelvane
