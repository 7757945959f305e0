#pragma once
// A fresh folder under the system's temporary folder, removed with all it
// holds when the object goes; and whole-file text helpers.
#include <filesystem>
#include <fstream>
#include <stdlib.h>
#include <string>

namespace kelvane::testing {

class TempFolder {
 public:
  TempFolder() : path_((std::filesystem::temp_directory_path() / "kelvane-XXXXXX").string()) {
    if (!::mkdtemp(path_.data())) path_.clear();
  }
  ~TempFolder() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline void writeText(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

// Returns the file's contents, empty when it cannot be read.
inline std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace kelvane::testing
