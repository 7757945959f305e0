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
  // Standard input is /dev/null: cat ends at once instead of waiting for input.
  EXPECT_EQ(Shell::run({"/bin/cat"}, std::nullopt, 5), (ShellResult{0, "", "", false}));
  // Arguments reach the tool unchanged, spaces and quotes included.
  EXPECT_EQ(Shell::run({"/bin/echo", "a b", "'c'", ""}, std::nullopt, 5),
            (ShellResult{0, "a b 'c' \n", "", false}));
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

// The tool ignores SIGTERM and leaves children behind, one in a session of its own that only
// the descendant search reaches, one below a child shell.
TEST(Shell, TimeOutEndsTheWholeTree) {
  const auto start = std::chrono::steady_clock::now();
  const auto result =
      sh("trap '' TERM; echo started; sleep 30 & echo $!; setsid sleep 30 & echo $!; "
         "sh -c 'sleep 30 & echo $!; wait' & echo $!; wait",
         1);
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(result);
  EXPECT_TRUE(result->timedOut);
  EXPECT_EQ(result->status, -1);
  EXPECT_LT(took.count(), 1 + 8);
  EXPECT_GE(took.count(), 1);
  std::istringstream lines(result->out);
  std::string first;
  lines >> first;
  EXPECT_EQ(first, "started");
  int count = 0;
  for (int32_t pid = 0; lines >> pid; ++count) EXPECT_TRUE(ends(pid)) << pid;
  EXPECT_EQ(count, 4);
  EXPECT_EQ(::waitpid(-1, nullptr, WNOHANG), -1);  // the tool itself was reaped
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
