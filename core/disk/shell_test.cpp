#include "core/disk/shell.h"

#include <algorithm>
#include <chrono>
#include <dirent.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <sstream>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

namespace fs = std::filesystem;

std::optional<ShellResult> sh(const std::string& script, double timeout = 10) {
  return Shell::run({"/bin/sh", "-c", script}, std::nullopt, timeout);
}

std::vector<std::string> openDescriptors() {
  std::vector<std::string> fds;
  DIR* dir = ::opendir("/proc/self/fd");
  const std::string own = std::to_string(::dirfd(dir));
  while (const dirent* entry = ::readdir(dir))
    if (entry->d_name[0] != '.' && entry->d_name != own) fds.emplace_back(entry->d_name);
  ::closedir(dir);
  std::sort(fds.begin(), fds.end());
  return fds;
}

// Waits up to 2 s for `pid` to end; a zombie counts as ended.
bool ends(int32_t pid) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (fd < 0) return true;  // no such process
  pollfd p{fd, POLLIN, 0};
  const bool ended = ::poll(&p, 1, 2000) == 1;
  ::close(fd);
  return ended;
}

TEST(Shell, EmptyArgumentsLaunchNothing) {
  EXPECT_EQ(Shell::run({}, std::nullopt, 1), std::nullopt);
}

TEST(Shell, ReportsStatusAndBothStreamsApart) {
  EXPECT_EQ(sh("printf 'to out'; printf 'to err' >&2; exit 3"),
            (ShellResult{3, "to out", "to err", false}));
  EXPECT_EQ(sh("echo a; echo b >&2; echo c"), (ShellResult{0, "a\nc\n", "b\n", false}));
  EXPECT_EQ(sh("kill -9 $$"), (ShellResult{9, "", "", false}));  // the ending signal
  // What a child writes shortly after the tool has ended is still read.
  EXPECT_EQ(sh("(sleep 0.2; echo late) & echo early"),
            (ShellResult{0, "early\nlate\n", "", false}));
  // Arguments reach the tool unchanged, spaces and quotes included.
  EXPECT_EQ(Shell::run({"/bin/echo", "a b", "'c'", ""}, std::nullopt, 5),
            (ShellResult{0, "a b 'c' \n", "", false}));
}

// A tool that reads its input sees its end at once, whatever the caller's input is.
TEST(Shell, StandardInputIsTheNullDevice) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const int saved = ::dup(STDIN_FILENO);
  ::dup2(fds[0], STDIN_FILENO);
  const auto result = sh("readlink /proc/self/fd/0; cat", 5);
  ::dup2(saved, STDIN_FILENO);
  for (const int fd : {saved, fds[0], fds[1]}) ::close(fd);
  EXPECT_EQ(result, (ShellResult{0, "/dev/null\n", "", false}));
}

TEST(Shell, GivenEnvironmentIsTheWholeEnvironment) {
  ASSERT_EQ(::setenv("KELVANE_SHELL_TEST", "inherited", 1), 0);
  const auto own = Shell::run({"/usr/bin/env"}, ShellEnv{{"A", "1"}, {"B", "two words"}}, 5);
  EXPECT_EQ(own, (ShellResult{0, "A=1\nB=two words\n", "", false}));
  const auto inherited = Shell::run({"/usr/bin/env"}, std::nullopt, 5);
  ASSERT_TRUE(inherited);
  EXPECT_NE(inherited->out.find("KELVANE_SHELL_TEST=inherited\n"), std::string::npos);
  EXPECT_EQ(Shell::run({"/usr/bin/env"}, ShellEnv{}, 5), (ShellResult{0, "", "", false}));
}

TEST(Shell, KeepsTheLastMillionBytesOfLongOutput) {
  std::ostringstream expected;
  for (int i = 1; i <= 500000; ++i) expected << i << '\n';  // about 3.4 MB
  const std::string all = expected.str();
  const auto result = Shell::run({"/usr/bin/seq", "1", "500000"}, std::nullopt, 30);
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 0);
  EXPECT_EQ(result->out.size(), 1'000'000u);
  EXPECT_TRUE(result->out == all.substr(all.size() - 1'000'000));
}

TEST(Shell, InvalidUtf8BecomesReplacementCharacters) {
  EXPECT_EQ(sh(R"(printf 'a\377b\303'; printf '\340\200' >&2)"),
            (ShellResult{0,
                         "a\xEF\xBF\xBD"
                         "b\xEF\xBF\xBD",
                         "\xEF\xBF\xBD\xEF\xBF\xBD", false}));
}

TEST(Shell, ToolThatCannotLaunchLeavesNothingBehind) {
  const fs::path dir = fs::path(testing::TempDir()) / "kelvane-shell-launch";
  fs::create_directories(dir);
  std::ofstream(dir / "plain") << "#!/bin/sh\necho no\n";
  fs::permissions(dir / "plain", fs::perms::owner_read | fs::perms::owner_write);
  const auto before = openDescriptors();
  for (const fs::path& tool : {dir / "missing", dir / "plain", dir})
    EXPECT_EQ(Shell::run({tool.string(), "-x"}, std::nullopt, 5), std::nullopt) << tool;
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // no child, not even a zombie
  EXPECT_EQ(errno, ECHILD);
  fs::remove_all(dir);
}

// The tool exits but a background child keeps its output open: the call returns after
// the drain wait with what it read, and leaves that child alone.
TEST(Shell, StreamHeldOpenByAGrandchildIsCutOffAfterExit) {
  const auto result = sh("sleep 30 & echo $!; echo done");
  ASSERT_TRUE(result);
  EXPECT_EQ(result->status, 0);
  EXPECT_FALSE(result->timedOut);
  const int32_t sleeper = std::stoi(result->out);
  EXPECT_EQ(result->out, std::to_string(sleeper) + "\ndone\n");
  EXPECT_EQ(::kill(sleeper, SIGKILL), 0);  // still running: a clean exit is not a time-out
}

// Runs `script` with a 1 s time-out and expects the time-out result, the first line
// "started", and every PID on the later lines ended.
void expectTreeEnds(const std::string& script, int pids) {
  const auto start = std::chrono::steady_clock::now();
  const auto result = sh(script, 1);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->timedOut);
  EXPECT_EQ(result->status, -1);
  EXPECT_GE(took.count(), 1);
  EXPECT_LT(took.count(), 1 + 8);
  std::istringstream lines(result->out);
  std::string first;
  lines >> first;
  EXPECT_EQ(first, "started");
  int count = 0;
  for (int32_t pid = 0; lines >> pid; ++count) {
    EXPECT_TRUE(ends(pid)) << pid;
    ::kill(pid, SIGKILL);  // after a failure, leave nothing running
  }
  EXPECT_EQ(count, pids);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // the tool itself was reaped
}

// Everything ignores SIGTERM. One child has a session of its own that only the descendant
// search reaches; one lies below a child shell; one was orphaned and stays in the group.
TEST(Shell, TimeOutEndsATreeThatIgnoresSigterm) {
  expectTreeEnds(
      "trap '' TERM; echo started; sleep 30 & echo $!; setsid sleep 30 & echo $!; "
      "sh -c 'sleep 30 & echo $!; wait' & echo $!; (sleep 30 & echo $!); wait",
      5);
}

// The tool ends on SIGTERM at once, but its children ignore it and keep the output open:
// the SIGKILL to the process group after the first drain wait ends them.
TEST(Shell, TimeOutEndsChildrenThatOutliveTheTool) {
  expectTreeEnds("echo started; (trap '' TERM; sleep 30 & echo $!; wait) & echo $!; wait", 2);
}

TEST(Shell, CallsOnSeveralThreadsKeepTheirOwnOutput) {
  std::vector<std::optional<ShellResult>> results(4);
  std::vector<std::thread> threads;
  for (size_t i = 0; i < results.size(); ++i)
    threads.emplace_back([&results, i] { results[i] = sh("echo " + std::to_string(i)); });
  for (auto& thread : threads) thread.join();
  for (size_t i = 0; i < results.size(); ++i)
    EXPECT_EQ(results[i], (ShellResult{0, std::to_string(i) + "\n", "", false}));
}

}  // namespace
}  // namespace kelvane
