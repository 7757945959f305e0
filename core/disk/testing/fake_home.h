#pragma once
// FakeHome: a home folder built by a test in a fresh temporary folder, with files
// aged through utimensat, and a DiskEnvironment over it that runs no tool.
#include <cmath>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "core/disk/disk_environment.h"
#include "core/support/testing/temp_dir.h"

namespace kelvane {

class FakeHome {
 public:
  static constexpr double kDay = 86400;

  // Every age is counted back from this moment, a whole second so that whole-second ages
  // land exactly on it; files made during the test are younger.
  const Date now = Date(std::floor(Date::now().timeIntervalSinceReferenceDate()));
  // When items were added to their folder; paths missing here have no added date.
  std::map<std::string, Date> addedAt;

  const std::string& path() const { return home_; }
  std::string at(const std::string& rel) const { return home_ + "/" + rel; }

  // Makes a file (and its folders) of `bytes` bytes, modified `age` seconds before now.
  std::string file(const std::string& rel, double age = 0, size_t bytes = 100) const {
    const std::string path = at(rel);
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << std::string(bytes, 'x');
    setAge(path, age);
    return path;
  }
  // Makes a file `levels` folders deep below `rel` (rel/d/d/.../f); returns the top folder.
  std::string deepFile(const std::string& rel, int levels) const {
    std::string path = rel;
    for (int i = 0; i < levels; ++i) path += "/d";
    file(path + "/f");
    return at(rel);
  }
  // Makes a folder (and its parents), modified `age` seconds before now.
  std::string folder(const std::string& rel, double age = 0) const {
    const std::string path = at(rel);
    std::filesystem::create_directories(path);
    setAge(path, age);
    return path;
  }
  // Sets an item's own modification time (a link's, not its target's).
  void setAge(const std::string& path, double age) const {
    const double unix = std::floor((now - age).unix());
    timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(unix);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW);
  }

  // An environment over this home: project root ~/Projects, nothing running, no tools.
  DiskEnvironment env() const {
    DiskEnvironment env{.home = home_, .now = now, .projectRoots = {home_ + "/Projects"}};
    env.added = [added = addedAt](const std::string& path) -> std::optional<Date> {
      const auto found = added.find(path);
      return found == added.end() ? std::nullopt : std::optional<Date>(found->second);
    };
    return env;
  }

 private:
  TempDir dir_;
  std::string home_ = dir_.path().string();
};

// The paths of the items a rule found, in order.
inline std::vector<std::string> itemPaths(const DiskRuleScan& scan) {
  std::vector<std::string> out;
  for (const auto& item : scan.items) out.push_back(item.path);
  return out;
}

}  // namespace kelvane
