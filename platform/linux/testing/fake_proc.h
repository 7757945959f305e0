#pragma once
// FakeProc: a folder laid out like /proc, for reading captured process tables.
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/support/testing/temp_dir.h"

namespace kelvane {

class FakeProc {
 public:
  // What one process folder holds; empty texts and links are left out.
  struct Process {
    std::string stat;
    std::string status;
    std::string exe;               // link target
    std::string cwd;               // link target
    std::vector<std::string> fds;  // link targets of descriptors 0, 1, ...; none: no fd folder
    std::string cmdline;
  };

  std::string root() const { return dir_.path().string(); }

  // Writes `text` at `relative` below the root ("stat", "net/tcp"), making folders.
  void file(const std::string& relative, const std::string& text) const {
    const auto path = dir_.path() / relative;
    std::filesystem::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
  }

  void process(const std::string& pid, const Process& p) const {
    namespace fs = std::filesystem;
    const fs::path folder = dir_.path() / pid;
    fs::create_directories(folder);
    if (!p.fds.empty()) fs::create_directories(folder / "fd");
    if (!p.stat.empty()) file(pid + "/stat", p.stat);
    if (!p.status.empty()) file(pid + "/status", p.status);
    if (!p.cmdline.empty()) file(pid + "/cmdline", p.cmdline);
    if (!p.exe.empty()) fs::create_symlink(p.exe, folder / "exe");
    if (!p.cwd.empty()) fs::create_symlink(p.cwd, folder / "cwd");
    for (size_t fd = 0; fd < p.fds.size(); ++fd)
      fs::create_symlink(p.fds[fd], folder / "fd" / std::to_string(fd));
  }

 private:
  TempDir dir_;
};

// A stat line of a sleeping process with the fields the readers use.
inline std::string statLine(int pid, const std::string& comm, int ppid, int tty = 0,
                            unsigned long long ticks = 0, unsigned long long start = 100,
                            long rssPages = 10, char state = 'S') {
  return std::to_string(pid) + " (" + comm + ") " + state + " " + std::to_string(ppid) + " " +
         std::to_string(pid) + " " + std::to_string(pid) + " " + std::to_string(tty) +
         " -1 4194304 0 0 0 0 " + std::to_string(ticks) + " 0 0 0 20 0 1 0 " +
         std::to_string(start) + " 1000 " + std::to_string(rssPages) + " 0 0\n";
}

}  // namespace kelvane
