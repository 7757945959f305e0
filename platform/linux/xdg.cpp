#include "platform/linux/xdg.h"

#include <cstdlib>
#include <pwd.h>
#include <unistd.h>

#include "core/support/text.h"

namespace kelvane::Xdg {
namespace {

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

}  // namespace

std::string dataHome(const std::string& home) {
  const std::string set = variable("XDG_DATA_HOME");
  return set.starts_with('/') ? set : home + "/.local/share";
}

std::vector<std::string> dataDirs(const std::string& home) {
  std::vector<std::string> dirs{dataHome(home)};
  std::string listed = variable("XDG_DATA_DIRS");
  if (listed.empty()) listed = "/usr/local/share:/usr/share";
  for (const auto dir : Text::split(listed, ':'))
    if (dir.starts_with('/')) dirs.emplace_back(dir);
  return dirs;
}

std::string homeTrash(const std::string& home) { return dataHome(home) + "/Trash"; }

std::string home() {
  if (const std::string set = variable("HOME"); set.starts_with('/')) return set;
  passwd entry{};
  passwd* found = nullptr;
  char buffer[4096];
  if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found &&
      entry.pw_dir && entry.pw_dir[0] == '/')
    return entry.pw_dir;
  return "/";
}

}  // namespace kelvane::Xdg
