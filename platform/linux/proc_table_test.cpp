#include "platform/linux/proc_table.h"

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
  const auto process = [&](const std::string& pid, const std::string& comm,
                           const std::string& cmdline) {
    fs::create_directories(proc.path() / pid);
    std::ofstream(proc.path() / pid / "comm") << comm;
    std::ofstream(proc.path() / pid / "cmdline", std::ios::binary) << cmdline;
  };
  process("10", "com.docker.back\n", std::string("/opt/x/com.docker.backend\0-v", 28));
  process("11", "xcodebuild\n", "");  // a kernel thread has no arguments
  process("self", "ignored\n", "ignored");
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
