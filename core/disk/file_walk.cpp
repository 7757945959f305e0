#include "core/disk/file_walk.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace kelvane::FileWalk {
namespace {

// O_NONBLOCK: whatever replaced a folder between its listing and its opening, opening it
// must never wait (O_DIRECTORY refuses it anyway).
constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;

// Whether a failed call found the item gone or replaced by something that is not a folder
// (a race with whoever changes the tree), rather than there and unreadable.
bool vanished(int error) { return error == ENOENT || error == ENOTDIR || error == ELOOP; }

struct Frame {
  DIR* dir;
  std::string path;
  int depth;
};

// Opens a folder below `at`; nullptr with errno set when it cannot be.
DIR* openDir(int at, const char* name) {
  const int fd = ::openat(at, name, kDirFlags);
  if (fd < 0) return nullptr;
  DIR* dir = ::fdopendir(fd);
  if (!dir) {
    const int error = errno;
    ::close(fd);
    errno = error;
  }
  return dir;
}

std::string joined(std::string_view parent, std::string_view name) {
  std::string path;
  path.reserve(parent.size() + 1 + name.size());
  path.append(parent);
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(name);
  return path;
}

bool isDotOrDotDot(const char* name) {
  return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

}  // namespace

std::string Item::path() const { return joined(parent, name); }

void Gaps::add(const Gaps& other) {
  if (first.empty()) first = other.first;
  unreadable += other.unreadable;
  tooDeep += other.tooDeep;
}

double unixSeconds(const struct timespec& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

Walked walk(const std::string& dir, const std::function<Next(const Item&)>& visit) {
  Walked walked;
  Gaps& gaps = walked.gaps;
  const auto gap = [&gaps](size_t Gaps::*count, std::string_view parent, std::string_view name) {
    if (gaps.first.empty()) gaps.first = name.empty() ? std::string(parent) : joined(parent, name);
    ++(gaps.*count);
  };
  // The start folder may itself be reached through a link (a linked home, say).
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return walked;
  DIR* top = ::fdopendir(fd);
  if (!top) {
    ::close(fd);
    return walked;
  }
  walked.opened = true;
  std::vector<Frame> stack{{top, dir, 1}};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    errno = 0;
    const dirent* entry = ::readdir(frame.dir);
    if (!entry) {  // The end, or a read error that leaves the rest of the folder unseen.
      if (errno != 0 && !vanished(errno)) gap(&Gaps::unreadable, frame.path, {});
      ::closedir(frame.dir);
      stack.pop_back();
      continue;
    }
    if (isDotOrDotDot(entry->d_name)) continue;
    struct stat info {};
    const int at = ::dirfd(frame.dir);
    if (::fstatat(at, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (!vanished(errno)) gap(&Gaps::unreadable, frame.path, entry->d_name);
      continue;
    }
    const Next next = visit(Item{frame.path, entry->d_name, info, frame.depth});
    if (next == Next::stop) break;
    if (next != Next::descend || !S_ISDIR(info.st_mode)) continue;
    if (frame.depth >= kMaxDepth) {
      gap(&Gaps::tooDeep, frame.path, entry->d_name);
      continue;
    }
    DIR* child = openDir(at, entry->d_name);
    if (!child) {
      if (!vanished(errno)) gap(&Gaps::unreadable, frame.path, entry->d_name);
      continue;
    }
    std::string path = joined(frame.path, entry->d_name);
    const int depth = frame.depth + 1;
    stack.push_back({child, std::move(path), depth});  // invalidates `frame`
  }
  for (auto& frame : stack) ::closedir(frame.dir);
  return walked;
}

}  // namespace kelvane::FileWalk
