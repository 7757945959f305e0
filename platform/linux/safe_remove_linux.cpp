#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/linux/safe_remove.h"

namespace kelvane::SafeRemove {
namespace {

constexpr int kMaxDepth = 1024;  // far below what a worker thread's stack holds

std::optional<std::string> failure() { return std::string(std::strerror(errno)); }

// Tells whether entry `name` of `folder` is where a file system is mounted: another
// device, or the root of a mount of the same one (a bind mount), which the kernel
// marks. Never descended into: it holds someone else's files.
bool mountedAt(int folder, const std::string& name, const struct stat& item, dev_t device) {
  if (item.st_dev != device) return true;
  struct statx info {};
  if (::statx(folder, name.c_str(), AT_SYMLINK_NOFOLLOW, STATX_TYPE, &info) != 0) return false;
  return (info.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) &&
         (info.stx_attributes & STATX_ATTR_MOUNT_ROOT);
}

std::optional<std::string> removeAt(int folder, const std::string& name, dev_t device, int depth);

// Removes everything inside the open folder `inner`.
std::optional<std::string> empty(int inner, dev_t device, int depth) {
  DIR* listing = ::fdopendir(::dup(inner));
  if (!listing) return failure();
  std::vector<std::string> names;
  while (const dirent* entry = ::readdir(listing)) {
    const std::string_view entryName = entry->d_name;
    if (entryName != "." && entryName != "..") names.emplace_back(entryName);
  }
  ::closedir(listing);
  std::optional<std::string> first;
  for (const auto& entry : names)
    if (auto why = removeAt(inner, entry, device, depth + 1); why && !first) first = std::move(why);
  return first;
}

std::optional<std::string> removeAt(int folder, const std::string& name, dev_t device, int depth) {
  struct stat item {};
  if (::fstatat(folder, name.c_str(), &item, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? std::nullopt : failure();
  if (!S_ISDIR(item.st_mode)) {
    if (::unlinkat(folder, name.c_str(), 0) == 0 || errno == ENOENT) return std::nullopt;
    return failure();
  }
  if (mountedAt(folder, name, item, device)) return std::string("a file system is mounted inside");
  if (depth > kMaxDepth) return std::string("folders nested too deep");
  const auto open = [&] {
    return ::openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  };
  int inner = open();
  // Our own folder that we may not even read: open it up; it is going anyway.
  if (inner < 0 && errno == EACCES && item.st_uid == ::geteuid() &&
      ::fchmodat(folder, name.c_str(), (item.st_mode & 07777) | S_IRWXU, 0) == 0)
    inner = open();
  if (inner < 0) return failure();
  struct stat opened {};
  // Our own read-only folder (a package cache) is opened up so that it can be emptied.
  if (::fstat(inner, &opened) == 0 && opened.st_uid == ::geteuid() &&
      (opened.st_mode & (S_IWUSR | S_IXUSR)) != (S_IWUSR | S_IXUSR))
    ::fchmod(inner, (opened.st_mode & 07777) | S_IRWXU);
  auto why = empty(inner, device, depth);
  ::close(inner);
  if (why) return why;
  if (::unlinkat(folder, name.c_str(), AT_REMOVEDIR) == 0 || errno == ENOENT) return std::nullopt;
  return failure();
}

}  // namespace

std::optional<std::string> at(int folder, std::string_view name) {
  struct stat parent {};
  if (::fstat(folder, &parent) != 0) return failure();
  return removeAt(folder, std::string(name), parent.st_dev, 0);
}

}  // namespace kelvane::SafeRemove
