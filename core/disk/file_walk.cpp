#include "core/disk/file_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace kelvane::FileWalk {
namespace {

constexpr int kDirFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

struct Frame {
  DIR* dir;
  std::string path;
  int depth;
};

DIR* openDir(int at, const char* name) {
  const int fd = ::openat(at, name, kDirFlags);
  if (fd < 0) return nullptr;
  DIR* dir = ::fdopendir(fd);
  if (!dir) ::close(fd);
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

double unixSeconds(const struct timespec& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

bool walk(const std::string& dir, const std::function<Next(const Item&)>& visit) {
  // The start folder may itself be reached through a link (a linked home, say).
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  DIR* top = ::fdopendir(fd);
  if (!top) {
    ::close(fd);
    return false;
  }
  std::vector<Frame> stack{{top, dir, 1}};
  while (!stack.empty()) {
    Frame& frame = stack.back();
    const dirent* entry = ::readdir(frame.dir);
    if (!entry) {  // The end, or a read error: either way this folder is done.
      ::closedir(frame.dir);
      stack.pop_back();
      continue;
    }
    if (isDotOrDotDot(entry->d_name)) continue;
    struct stat info {};
    const int at = ::dirfd(frame.dir);
    if (::fstatat(at, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) != 0) continue;
    const Next next = visit(Item{frame.path, entry->d_name, info, frame.depth});
    if (next == Next::stop) break;
    if (next != Next::descend || !S_ISDIR(info.st_mode) || frame.depth >= kMaxDepth) continue;
    if (DIR* child = openDir(at, entry->d_name)) {
      std::string path = joined(frame.path, entry->d_name);
      const int depth = frame.depth + 1;
      stack.push_back({child, std::move(path), depth});  // invalidates `frame`
    }
  }
  for (auto& frame : stack) ::closedir(frame.dir);
  return true;
}

}  // namespace kelvane::FileWalk
