#include "core/disk/disk_files.h"

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>

#include "core/disk/file_walk.h"
#include "core/support/file_io.h"
#include "core/support/hashing.h"

namespace kelvane {

bool Tally::firstTime(uint64_t device, uint64_t inode) {
  return seen_.insert(Key{device, inode}).second;
}

void Tally::count(int64_t bytes) {
  if (__builtin_add_overflow(bytes_, bytes, &bytes_)) bytes_ = std::numeric_limits<int64_t>::max();
  if (++items_ % kProgressEvery == 0 && observer_) observer_(items_, bytes_);
}

size_t Tally::KeyHash::operator()(const Key& key) const noexcept {
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

// The blocks an item holds itself; a file with several links only where it is first met.
int64_t allocated(const struct stat& info, Tally& tally) {
  if (!S_ISDIR(info.st_mode) && info.st_nlink > 1 && !tally.firstTime(info.st_dev, info.st_ino))
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

bool listable(const std::string& dir) {
  DIR* handle = ::opendir(dir.c_str());
  if (handle) ::closedir(handle);
  return handle != nullptr;
}

bool isDir(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

Measured measure(const std::string& path, Tally& tally) {
  Measured measured;
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT || errno == ENOTDIR) {
      measured.found = false;
    } else {
      measured.gaps = FileWalk::Gaps{.unreadable = 1, .first = path};
    }
    return measured;
  }
  measured.bytes = allocated(info, tally);
  tally.count(measured.bytes);
  if (!S_ISDIR(info.st_mode)) return measured;
  const auto walked = FileWalk::walk(path, [&](const FileWalk::Item& item) {
    const int64_t bytes = allocated(item.info, tally);
    addSaturating(measured.bytes, bytes);
    tally.count(bytes);
    return Next::descend;
  });
  measured.gaps = walked.gaps;
  if (!walked.opened) measured.gaps.add(FileWalk::Gaps{.unreadable = 1, .first = path});
  return measured;
}

int64_t size(const std::string& path) {
  Tally tally;
  return measure(path, tally).bytes;
}

std::optional<std::string> smallFile(const std::string& path, size_t maxBytes) {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer; fstat then
  // refuses it (and devices and sockets) before anything is read.
  const FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  if (!fd.valid()) return std::nullopt;
  return readDescriptor(fd.get(), maxBytes);
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

ProjectSearch projects(const std::string& root, int depth) {
  ProjectSearch search;
  std::vector<std::pair<std::string, int>> queue{{root, 0}};
  for (size_t next = 0; next < queue.size(); ++next) {
    const auto [dir, level] = queue[next];  // a copy: the queue grows below
    if (holdsMarker(dir)) search.found.push_back(dir);
    if (level >= depth) continue;
    auto listed = entries(dir);
    if (listed.empty() && !listable(dir) && isDir(dir))
      search.gaps.add(FileWalk::Gaps{.unreadable = 1, .first = dir});
    for (auto& entry : listed) {
      const std::string_view name = lastName(entry);
      if (name.starts_with('.') || name.ends_with(".app") || named(name, kHeavyFolders)) continue;
      if (isDir(entry)) queue.emplace_back(std::move(entry), level + 1);
    }
  }
  return search;
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
