#include "helper/root_file_store.h"

#include <cerrno>
#include <filesystem>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "core/support/file_io.h"

namespace kelvane {
namespace {

// Creates every missing folder of `folder` with mode 0700, as the saved file's
// folder and any created above it hold nothing others should see.
bool makeFolders(const std::filesystem::path& folder) {
  std::filesystem::path partial;
  for (const auto& part : folder) {
    partial /= part;
    if (::mkdir(partial.c_str(), 0700) == 0) continue;
    struct stat info {};
    if (errno != EEXIST || ::stat(partial.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
      return false;
  }
  return true;
}

// The folder is made root's alone, so it must be one of its own: never the
// root folder, a relative one, or a shared one like /tmp (sticky), which a
// mistaken path would otherwise lock everyone else out of.
bool mayTighten(const std::filesystem::path& folder) {
  struct stat info {};
  return folder.is_absolute() && folder != folder.root_path() &&
         ::stat(folder.c_str(), &info) == 0 && !(info.st_mode & S_ISVTX);
}

}  // namespace

std::optional<std::vector<uint8_t>> RootFileStore::load() {
  const auto text = readWholeFile(path);
  if (!text) return std::nullopt;
  return std::vector<uint8_t>(text->begin(), text->end());
}

bool RootFileStore::store(const std::vector<uint8_t>& bytes) {
  const auto folder = std::filesystem::path(path).parent_path();
  if (!makeFolders(folder) || !mayTighten(folder) || ::chmod(folder.c_str(), 0700) != 0)
    return false;
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  return replaceFile(path, text, FileOwnership{.mode = 0600}).has_value();
}

void RootFileStore::remove() { ::unlink(path.c_str()); }

}  // namespace kelvane
