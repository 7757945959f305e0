#pragma once
// A fresh folder for one test, removed with all it holds when the object goes;
// and whole-file text helpers.
#include <fstream>
#include <string>
#include <sys/stat.h>

#include "core/support/testing/temp_dir.h"

namespace kelvane::testing {

// The shared test folder, with paths as plain strings the way the helper takes them.
class TempFolder {
 public:
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  TempDir dir_;
  std::string path_ = dir_.path().string();
};

inline void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Returns the file's contents, empty when it cannot be read.
// The permission bits of `path`; 0 when it cannot be examined.
inline mode_t modeOf(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 ? info.st_mode & 07777 : 0;
}

inline std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace kelvane::testing
