#pragma once
// TrashHome: a temporary home with its own freedesktop Trash, and helpers to look
// at what went into it.
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "core/support/testing/temp_dir.h"
#include "platform/linux/freedesktop_trash.h"

namespace kelvane {

class TrashHome {
 public:
  std::filesystem::path path() const { return std::filesystem::canonical(dir_.path()); }
  std::string trash() const { return (path() / ".local/share/Trash").string(); }
  FreedesktopTrash freedesktop() const {
    return FreedesktopTrash(trash(), ::geteuid(), Calendar::utc());
  }

  // Writes a file (making its folders) and returns its path.
  std::string file(const std::string& relative, const std::string& text = "data") const {
    const auto at = path() / relative;
    std::filesystem::create_directories(at.parent_path());
    std::ofstream(at) << text;
    return at.string();
  }

  static std::string read(const std::filesystem::path& file) {
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

 private:
  TempDir dir_;
};

// Moves `path` into `trash` the way the cleanup does: through its folder.
inline Result<std::string, std::string> trashPath(const FreedesktopTrash& trash,
                                                  const std::string& path, Date now) {
  const size_t slash = path.rfind('/');
  const int folder = ::open(path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  auto moved = trash.move(folder, path.substr(slash + 1), path, now);
  ::close(folder);
  return moved;
}

}  // namespace kelvane
