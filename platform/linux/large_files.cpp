#include "platform/linux/large_files.h"

#include <algorithm>
#include <sys/stat.h>

#include "core/disk/disk_files.h"
#include "core/disk/file_walk.h"

namespace kelvane::LargeFiles {
namespace {

using FileWalk::Next;

template <size_t N>
bool named(std::string_view name, const std::array<std::string_view, N>& names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

bool skipped(const FileWalk::Item& item, dev_t homeDevice, const std::string& desktopTrash) {
  if (item.info.st_dev != homeDevice) return true;
  if (item.depth == 1 && item.name == ".Trash") return true;
  if (item.depth == 3 && item.name == "Trash" && item.parent == desktopTrash) return true;
  return named(item.name, DiskScanner::kHeavyFolders) ||
         named(item.name, DiskScanner::kCacheFolders);
}

}  // namespace

std::vector<Suggestion> find(const std::string& home, int64_t minBytes, size_t maxItems) {
  std::vector<Suggestion> found;
  struct stat top {};
  if (::stat(home.c_str(), &top) != 0) return found;
  // The desktop's own Trash lives here on this platform.
  const std::string desktopTrash = home + "/.local/share";
  size_t seen = 0;
  Tally links;  // A file linked under several names is one item, listed where first met.
  FileWalk::walk(home, [&](const FileWalk::Item& item) {
    if (++seen > maxItems) return Next::stop;
    const auto& info = item.info;
    if (S_ISDIR(info.st_mode))
      return skipped(item, top.st_dev, desktopTrash) ? Next::skip : Next::descend;
    const int64_t bytes = static_cast<int64_t>(info.st_blocks) * 512;
    if (S_ISREG(info.st_mode) && bytes >= minBytes &&
        (info.st_nlink < 2 || links.firstTime(info.st_dev, info.st_ino))) {
      const double used =
          std::max(FileWalk::unixSeconds(info.st_atim), FileWalk::unixSeconds(info.st_mtim));
      found.push_back(Suggestion{item.path(), bytes, Date::fromUnix(used)});
    }
    return Next::skip;
  });
  return found;
}

}  // namespace kelvane::LargeFiles
