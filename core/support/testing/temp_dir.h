#pragma once
// TempDir: a fresh folder for one test, removed with everything in it.
#include <filesystem>
#include <stdlib.h>
#include <string>
#include <system_error>

namespace kelvane {

class TempDir {
 public:
  TempDir() : TempDir(std::filesystem::temp_directory_path()) {}
  // Makes the folder inside `parent` (a tmpfs, say, for tests that write a lot).
  explicit TempDir(const std::filesystem::path& parent) {
    std::string pattern = (parent / "kelvane-XXXXXX").string();
    if (::mkdtemp(pattern.data())) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                 std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

}  // namespace kelvane
