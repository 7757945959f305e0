// The added-to-folder date on Linux. No file system records when an item entered its
// folder. The birth time is when the file was made, which for an item moved in (as
// everything in the Trash is) can be years before it arrived; a move does update the
// status-change time. So the date is the later of the two: never earlier than the
// arrival, at worst later (after a chmod), which only keeps an item longer.
#include <algorithm>
#include <fcntl.h>
#include <sys/stat.h>

#include "core/disk/disk_files.h"

namespace kelvane::DiskScanner {
namespace {

double seconds(const statx_timestamp& time) {
  return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

}  // namespace

std::optional<Date> addedDate(const std::string& path) {
  struct statx info {};
  if (::statx(AT_FDCWD, path.c_str(), AT_SYMLINK_NOFOLLOW, STATX_BTIME | STATX_CTIME, &info) != 0)
    return std::nullopt;
  double at = seconds(info.stx_ctime);
  if (info.stx_mask & STATX_BTIME) at = std::max(at, seconds(info.stx_btime));
  return Date::fromUnix(at);
}

}  // namespace kelvane::DiskScanner
