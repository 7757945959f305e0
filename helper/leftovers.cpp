#include "helper/leftovers.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "core/support/file_io.h"

namespace kelvane {

bool isTemporaryOf(std::string_view fileName, std::string_view targetName) {
  // The pattern ends in the Xs its random letters replace; what comes before is fixed.
  const std::string pattern = temporaryPattern(targetName);
  const std::string_view fixed =
      std::string_view(pattern).substr(0, pattern.find_last_not_of('X') + 1);
  return fileName.size() == pattern.size() && fileName.starts_with(fixed) &&
         isTemporaryName(fileName);
}

std::vector<std::string> removeLeftoverTemporaries(const std::filesystem::path& target) {
  std::vector<std::string> removed;
  const auto folder = target.has_parent_path() ? target.parent_path() : ".";
  const std::string targetName = target.filename().native();
  DIR* handle = ::opendir(folder.c_str());
  if (!handle) return removed;
  const int dir = ::dirfd(handle);
  const uid_t self = ::geteuid();
  while (const dirent* entry = ::readdir(handle)) {
    if (!isTemporaryOf(entry->d_name, targetName)) continue;
    struct stat info {};
    if (::fstatat(dir, entry->d_name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(info.st_mode) &&
        info.st_uid == self && ::unlinkat(dir, entry->d_name, 0) == 0)
      removed.push_back((folder / entry->d_name).string());
  }
  ::closedir(handle);
  return removed;
}

}  // namespace kelvane
