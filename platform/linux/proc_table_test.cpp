#include "platform/linux/proc_table.h"

#include <array>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/support/testing/temp_dir.h"

namespace kelvane {
namespace {

namespace fs = std::filesystem;

TEST(ProcTable, NamesComeFromCommAndTheFirstArgument) {
  TempDir proc;
  // The second has no arguments, as a kernel thread; "self" is not a process of its own.
  for (const auto& [pid, comm, cmdline] : std::vector<std::array<std::string, 3>>{
           {"10", "com.docker.back\n", std::string("/opt/x/com.docker.backend\0-v", 28)},
           {"11", "xcodebuild\n", ""},
           {"self", "ignored\n", "ignored"}}) {
    fs::create_directories(proc.path() / pid);
    std::ofstream(proc.path() / pid / "comm") << comm;
    std::ofstream(proc.path() / pid / "cmdline", std::ios::binary) << cmdline;
  }
  EXPECT_EQ(ProcTable::runningNames(proc.path().string()),
            (std::set<std::string>{"com.docker.back", "com.docker.backend", "xcodebuild"}));
}

TEST(ProcTable, OpenFilesIncludeOursAndNoPipes) {
  TempDir dir;
  const std::string path = (dir.path() / "held.log").string();
  const int fd = ::open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
  int pipes[2];
  ASSERT_EQ(::pipe(pipes), 0);
  const auto files = ProcTable::openFiles();
  for (const int f : {fd, pipes[0], pipes[1]}) ::close(f);
  EXPECT_TRUE(files.contains(path));
  for (const auto& file : files) EXPECT_EQ(file.front(), '/') << file;
}

}  // namespace
}  // namespace kelvane
