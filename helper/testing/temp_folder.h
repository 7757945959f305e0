#pragma once
// A fresh folder for one test, removed with all it holds when the object goes;
// and whole-file text helpers.
#include <fstream>
#include <string>

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
inline std::string readText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace kelvane::testing
