#include "core/shell/shell.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <set>
#include <signal.h>
#include <sstream>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace kelvane {
namespace {

namespace fs = std::filesystem;
const std::string kFFFD = "\xEF\xBF\xBD";

std::optional<ShellResult> sh(const std::string& script, double timeout = 10) {
  return Shell::run({"/bin/sh", "-c", script}, std::nullopt, timeout);
}

std::set<fs::path> openDescriptors() {
  return {fs::directory_iterator("/proc/self/fd"), fs::directory_iterator()};
}

// Waits up to 2 s for `pid` to end; a zombie counts as ended.
bool ends(int32_t pid) {
  const int fd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  pollfd p{fd, POLLIN, 0};
  const bool ended = fd < 0 || ::poll(&p, 1, 2000) == 1;
  if (fd >= 0) ::close(fd);
  return ended;
}

bool noChildLeft() { return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD; }

TEST(Shell, ReportsStatusAndBothStreamsApart) {
  EXPECT_EQ(Shell::run({}, std::nullopt, 1), std::nullopt);
  EXPECT_EQ(sh("printf out; printf err >&2; exit 3"), (ShellResult{3, "out", "err", false}));
  EXPECT_EQ(sh("kill -9 $$"), (ShellResult{9, "", "", false}));  // the ending signal
  EXPECT_EQ(sh(R"(printf 'a\377b\303'; printf '\340\200' >&2)"),
            (ShellResult{0, "a" + kFFFD + "b" + kFFFD, kFFFD + kFFFD, false}));
  // What a child writes shortly after the tool has ended is still read.
  EXPECT_EQ(sh("(sleep 0.2; echo late) & echo early"),
            (ShellResult{0, "early\nlate\n", "", false}));
  // A child that keeps the output open is cut off after the drain wait and left alone.
  const auto held = sh("sleep 30 & echo $!");
  ASSERT_TRUE(held && held->status == 0);
  EXPECT_EQ(::kill(std::stoi(held->out), SIGKILL), 0);
}

TEST(Shell, InputIsTheNullDeviceAndTheEnvironmentIsAsGiven) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const int saved = ::dup(STDIN_FILENO);
  ::dup2(fds[0], STDIN_FILENO);  // a caller's input that never ends
  EXPECT_EQ(sh("readlink /proc/self/fd/0; cat", 5), (ShellResult{0, "/dev/null\n", "", false}));
  ::dup2(saved, STDIN_FILENO);
  for (const int fd : {saved, fds[0], fds[1]}) ::close(fd);

  const auto env = [](std::optional<ShellEnv> given) {
    return Shell::run({"/usr/bin/env"}, given, 5).value_or(ShellResult{}).out;
  };
  EXPECT_EQ(env(ShellEnv{{"A", "1"}, {"B", "two words"}}), "A=1\nB=two words\n");
  ASSERT_EQ(::setenv("KELVANE_SHELL_TEST", "inherited", 1), 0);
  EXPECT_NE(env(std::nullopt).find("KELVANE_SHELL_TEST=inherited\n"), std::string::npos);
}

TEST(Shell, KeepsTheLastMillionBytesOfLongOutput) {
  std::ostringstream expected;
  for (int i = 1; i <= 500000; ++i) expected << i << '\n';  // about 3.4 MB
  const std::string all = expected.str();
  const auto result = Shell::run({"/usr/bin/seq", "1", "500000"}, std::nullopt, 30);
  ASSERT_TRUE(result && result->status == 0);
  EXPECT_TRUE(result->out == all.substr(all.size() - 1'000'000));
}

TEST(Shell, ToolThatCannotLaunchLeavesNothingBehind) {
  const auto dir = fs::path(testing::TempDir()) / "kelvane-shell-launch";
  fs::create_directories(dir);
  std::ofstream(dir / "plain") << "#!/bin/sh\necho no\n";  // not executable
  const auto before = openDescriptors();
  for (const auto& tool : {dir / "missing", dir / "plain", dir})
    EXPECT_EQ(Shell::run({tool.string()}, std::nullopt, 5), std::nullopt) << tool;
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_TRUE(noChildLeft());
  fs::remove_all(dir);
}

// Each script prints "started" and then the PIDs it leaves behind, all of which must end.
TEST(Shell, TimeOutEndsTheWholeTree) {
  // Children in a session of their own, which only the process table reaches, are
  // tried where the platform supplies it (platform/linux).
  const std::string scripts[] = {
      // Everything ignores SIGTERM. One child is below a child shell, one was orphaned.
      "trap '' TERM; echo started; sleep 30 & echo $!; "
      "sh -c 'sleep 30 & echo $!; wait' & echo $!; (sleep 30 & echo $!); wait",
      // The tool ends on SIGTERM, its children ignore it and keep the output open.
      "echo started; (trap '' TERM; sleep 30 & echo $!; wait) & echo $!; wait",
  };
  for (const auto& script : scripts) {
    const auto start = std::chrono::steady_clock::now();
    const auto result = sh(script, 1);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    ASSERT_TRUE(result);
    EXPECT_EQ(std::make_pair(result->status, result->timedOut), std::make_pair(-1, true));
    EXPECT_TRUE(took.count() >= 1 && took.count() < 1 + 8) << took.count();
    EXPECT_EQ(result->out.rfind("started\n", 0), 0u);  // output from before the time-out
    std::istringstream lines(result->out.substr(8));
    int count = 0;
    for (int32_t pid = 0; lines >> pid; ++count) {
      EXPECT_TRUE(ends(pid)) << pid;
      ::kill(pid, SIGKILL);  // after a failure, leave nothing running
    }
    EXPECT_EQ(count, script[0] == 't' ? 4 : 2);
    EXPECT_TRUE(noChildLeft());  // the tool itself was reaped
  }
}

}  // namespace
}  // namespace kelvane
