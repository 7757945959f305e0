#include "core/disk/disk_files.h"

#include <algorithm>
#include <dirent.h>
#include <limits>
#include <sys/stat.h>

#include "core/disk/file_walk.h"
#include "core/support/hashing.h"

namespace kelvane {

bool HardLinks::firstTime(uint64_t device, uint64_t inode) {
  return seen_.insert(Key{device, inode}).second;
}

size_t HardLinks::KeyHash::operator()(const Key& key) const noexcept {
  return hashValues(key.device, key.inode);
}

namespace DiskScanner {
namespace {

using FileWalk::Next;

template <size_t N>
bool named(std::string_view name, const std::array<std::string_view, N>& names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

Date dateOf(const struct timespec& time) { return Date::fromUnix(FileWalk::unixSeconds(time)); }

void addSaturating(int64_t& sum, int64_t value) {
  if (__builtin_add_overflow(sum, value, &sum)) sum = std::numeric_limits<int64_t>::max();
}

// The blocks an item holds that removing it could free: none for links and folders'
// contents are walked separately; a hard-linked file only where it is first met.
int64_t allocated(const struct stat& info, HardLinks& links) {
  if (S_ISLNK(info.st_mode)) return 0;
  if (!S_ISDIR(info.st_mode) && info.st_nlink > 1 && !links.firstTime(info.st_dev, info.st_ino))
    return 0;
  int64_t bytes = 0;
  if (__builtin_mul_overflow(static_cast<int64_t>(info.st_blocks), int64_t{512}, &bytes))
    return std::numeric_limits<int64_t>::max();
  return std::max<int64_t>(bytes, 0);
}

// Walks below `dir` keeping the newest date of the items `dated` accepts, stopping at the
// first one not earlier than `after`.
template <class Dated, class Enter>
std::optional<Date> newestBelow(const std::string& dir, Date after, Dated dated, Enter enter) {
  std::optional<Date> newest;
  FileWalk::walk(dir, [&](const FileWalk::Item& item) {
    if (dated(item.info)) {
      const Date date = dateOf(item.info.st_mtim);
      if (!newest || date > *newest) newest = date;
      if (date >= after) return Next::stop;
    }
    return enter(item) ? Next::descend : Next::skip;
  });
  return newest;
}

bool holdsMarker(const std::string& dir) {
  struct stat info {};
  return std::any_of(kProjectMarkers.begin(), kProjectMarkers.end(), [&](const auto& marker) {
    return ::lstat((dir + "/" + std::string(marker.file)).c_str(), &info) == 0;
  });
}

std::string_view lastName(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::vector<std::string> entries(const std::string& dir) {
  std::vector<std::string> names;
  DIR* handle = ::opendir(dir.c_str());
  if (!handle) return names;
  while (const dirent* entry = ::readdir(handle)) {
    const std::string_view name = entry->d_name;
    if (name != "." && name != "..") names.emplace_back(name);
  }
  ::closedir(handle);
  std::sort(names.begin(), names.end());
  const std::string prefix = dir.ends_with('/') ? dir : dir + "/";
  for (auto& name : names) name = prefix + name;
  return names;
}

bool isDir(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

int64_t size(const std::string& path, HardLinks& links) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return 0;
  if (!S_ISDIR(info.st_mode)) return allocated(info, links);
  int64_t sum = 0;
  FileWalk::walk(path, [&](const FileWalk::Item& item) {
    addSaturating(sum, allocated(item.info, links));
    return Next::descend;
  });
  return sum;
}

int64_t size(const std::string& path) {
  HardLinks links;
  return size(path, links);
}

std::optional<Date> modified(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) return std::nullopt;
  return dateOf(info.st_mtim);
}

std::optional<Date> newestInside(const std::string& dir, Date after) {
  return newestBelow(
      dir, after, [](const struct stat&) { return true; },
      [](const FileWalk::Item&) { return true; });
}

std::optional<Date> newestSource(const std::string& project, Date after) {
  return newestBelow(
      project, after, [](const struct stat& info) { return S_ISREG(info.st_mode); },
      [](const FileWalk::Item& item) {
        return !named(item.name, kHeavyFolders) && !named(item.name, kCacheFolders);
      });
}

std::vector<std::string> projects(const std::string& root, int depth) {
  std::vector<std::string> found;
  std::vector<std::pair<std::string, int>> queue{{root, 0}};
  for (size_t next = 0; next < queue.size(); ++next) {
    const auto [dir, level] = queue[next];  // a copy: the queue grows below
    if (holdsMarker(dir)) found.push_back(dir);
    if (level >= depth) continue;
    for (auto& entry : entries(dir)) {
      const std::string_view name = lastName(entry);
      if (name.starts_with('.') || name.ends_with(".app") || named(name, kHeavyFolders)) continue;
      if (isDir(entry)) queue.emplace_back(std::move(entry), level + 1);
    }
  }
  return found;
}

bool inGit(const std::string& path) {
  std::string dir = path;
  while (!dir.empty() && dir != "/") {
    struct stat info {};
    if (::lstat((dir + "/.git").c_str(), &info) == 0) return true;
    const size_t slash = dir.rfind('/');
    if (slash == std::string::npos) return false;
    dir.resize(slash);
  }
  return false;
}

}  // namespace DiskScanner
}  // namespace kelvane
