#include "platform/linux/proc_table.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "core/shell/shell.h"
#include "core/support/testing/temp_dir.h"
#include "platform/linux/testing/fake_proc.h"

namespace kelvane {
namespace {

TEST(ProcTable, NamesComeFromCommAndTheFirstArgument) {
  FakeProc proc;
  // The second has no arguments, as a kernel thread; "self" is not a process of its own.
  proc.process("10", {.stat = statLine(10, "com.docker.back", 1),
                      .cmdline = std::string("/opt/x/com.docker.backend\0-v", 28)});
  proc.process("11", {.stat = statLine(11, "xcodebuild", 1)});
  proc.process("self", {.stat = statLine(12, "ignored", 1), .cmdline = "ignored"});
  EXPECT_EQ(ProcTable::runningNames(ProcReader(proc.root())),
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

// Waits up to 2 s for `pid` to end; a zombie counts as ended.
bool ends(int32_t pid) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  pollfd p{fd, POLLIN, 0};
  const bool ended = fd < 0 || ::poll(&p, 1, 2000) == 1;
  if (fd >= 0) ::close(fd);
  return ended;
}

// A tool's child in a session of its own escapes the process-group kill; only the
// process table reaches it.
TEST(ProcTable, ShellTimeOutReachesChildrenInASessionOfTheirOwn) {
  ProcTable::serveShell();
  const auto result =
      Shell::run({"/bin/sh", "-c", "trap '' TERM; echo started; setsid sleep 30 & echo $!; wait"},
                 std::nullopt, 1);
  Shell::useProcessTable({});
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->timedOut);
  std::istringstream lines(result->out.substr(std::min<size_t>(8, result->out.size())));
  int32_t pid = 0;
  ASSERT_TRUE(lines >> pid) << result->out;
  EXPECT_TRUE(ends(pid));
  ::kill(pid, SIGKILL);  // after a failure, leave nothing running
}

}  // namespace
}  // namespace kelvane
