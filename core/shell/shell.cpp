#include "core/shell/shell.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <exception>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <utility>

#include "core/shell/process_tree.h"
#include "core/shell/shell_sink.h"
#include "core/support/file_io.h"

extern char** environ;

namespace kelvane {

namespace {

using Clock = std::chrono::steady_clock;

constexpr double kMaxTimeoutSeconds = 1e9;            // about 31 years; keeps the deadline in range
constexpr auto kExitGrace = std::chrono::seconds(2);  // after SIGTERM, and again after SIGKILL
constexpr auto kDrainAfterExit = std::chrono::seconds(2);
constexpr auto kDrainAfterKill = std::chrono::seconds(1);      // before and after the group SIGKILL
constexpr auto kFallbackTick = std::chrono::milliseconds(20);  // only without pidfd support
constexpr size_t kReadChunk = 32 * 1024;

using Fd = FileDescriptor;

struct Pipe {
  Fd read;
  Fd write;
};

// Moves `fd` above the standard descriptors: when the caller runs with 0, 1 or 2 closed,
// a pipe end could land there and be overwritten by the tool's own redirections.
Fd aboveStandard(int fd) {
  if (fd > STDERR_FILENO) return Fd(fd);
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  ::close(fd);
  return Fd(moved);
}

std::optional<Pipe> makePipe() {
  int fds[2];
  // Close-on-exec, so that a tool launched at the same time by another thread does not
  // inherit our write end and hold back our end of file.
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  Pipe pipe{aboveStandard(fds[0]), aboveStandard(fds[1])};
  if (!pipe.read.valid() || !pipe.write.valid()) return std::nullopt;
  return pipe;
}

// The posix_spawn description of a tool: standard input from /dev/null, the two pipes as
// standard output and error, a new process group whose ID is the tool's PID (so the group
// can be signalled as a whole), no blocked signals and default dispositions whatever the
// caller has set up (an ignored SIGPIPE, for one, would otherwise be inherited).
class SpawnSetup {
 public:
  SpawnSetup(int outFd, int errFd) {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attr_);
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    const short flags = POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    ok_ =
        posix_spawn_file_actions_addopen(&actions_, STDIN_FILENO, "/dev/null", O_RDONLY, 0) == 0 &&
        posix_spawn_file_actions_adddup2(&actions_, outFd, STDOUT_FILENO) == 0 &&
        posix_spawn_file_actions_adddup2(&actions_, errFd, STDERR_FILENO) == 0 &&
        posix_spawnattr_setflags(&attr_, flags) == 0 && posix_spawnattr_setpgroup(&attr_, 0) == 0 &&
        posix_spawnattr_setsigmask(&attr_, &none) == 0 &&
        posix_spawnattr_setsigdefault(&attr_, &all) == 0;
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  ~SpawnSetup() {
    posix_spawnattr_destroy(&attr_);
    posix_spawn_file_actions_destroy(&actions_);
  }

  // Launches the tool; nullopt when the description could not be made or exec failed
  // (glibc reports exec failures from posix_spawn and reaps the failed child itself).
  std::optional<pid_t> spawn(const std::vector<std::string>& args,
                             const std::optional<ShellEnv>& env) const;

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attr_;
  bool ok_ = false;
};

std::vector<char*> pointersTo(std::vector<std::string>& texts) {
  std::vector<char*> pointers;
  pointers.reserve(texts.size() + 1);
  for (auto& text : texts) pointers.push_back(text.data());
  pointers.push_back(nullptr);
  return pointers;
}

std::optional<pid_t> SpawnSetup::spawn(const std::vector<std::string>& args,
                                       const std::optional<ShellEnv>& env) const {
  if (!ok_) return std::nullopt;
  std::vector<std::string> argTexts(args.begin(), args.end());
  std::vector<std::string> envTexts;
  if (env) {
    for (const auto& [name, value] : *env)
      if (!name.empty() && name.find('=') == std::string::npos)  // else not a variable
        envTexts.push_back(name + "=" + value);
  }
  const auto argv = pointersTo(argTexts);
  const auto envp = pointersTo(envTexts);
  pid_t pid = 0;
  const int rc = posix_spawn(&pid, args[0].c_str(), &actions_, &attr_, argv.data(),
                             env ? envp.data() : environ);
  if (rc != 0) return std::nullopt;
  return pid;
}

Fd openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));  // close-on-exec by design
#else
  (void)pid;
  return Fd();
#endif
}

// Waits for `pid` on a thread of its own: for a tool that outlives even SIGKILL (stuck in
// the kernel), so that it is reaped once it goes without holding up the caller.
void reapLater(pid_t pid) noexcept {
  try {
    std::thread([pid] {
      siginfo_t info{};
      while (::waitid(P_PID, pid, &info, WEXITED) != 0 && errno == EINTR) {
      }
    }).detach();
  } catch (const std::exception&) {
    // No thread to spare: the tool stays a zombie until this process ends.
  }
}

timespec toTimespec(Clock::duration d) {
  const auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
  const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(d - secs);
  return timespec{static_cast<time_t>(secs.count()), static_cast<long>(nanos.count())};
}

Clock::duration toDuration(double seconds) {
  if (!(seconds > 0)) seconds = 0;  // NaN as well
  seconds = std::min(seconds, kMaxTimeoutSeconds);
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// A launched tool. Its PID stays unreaped until the run ends, so that neither the PID nor
// its process group can be reused by another process while we still signal them.
// Termination is noticed through a pidfd in the same poll as the two pipes, so one thread
// reads both streams and waits for the exit without busy waiting.
class Child {
 public:
  Child(pid_t pid, Fd out, Fd err) : pid_(pid), pidfd_(openPidfd(pid)) {
    pipes_[0] = std::move(out);
    pipes_[1] = std::move(err);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  // Kills and hands off a tool that was not reaped (only after an exception).
  ~Child() {
    if (reaped_) return;
    ::kill(-pid_, SIGKILL);
    ::kill(pid_, SIGKILL);
    reapLater(pid_);
  }

  // Reads output until the tool exits; false when `until` came first.
  bool waitExit(Clock::time_point until) { return pump(until, true); }
  // Reads output until both streams end; false when `until` came first.
  bool drain(Clock::time_point until) { return pump(until, false); }

  void signalTree(int signal) const {
    ProcessTree::signalTree(pid_, signal, Shell::descendants,
                            [](int32_t target, int sig) { ::kill(target, sig); });
  }
  void killGroup() const {
    if (pid_ >= 2) ::kill(-pid_, SIGKILL);
  }

  int32_t reap();
  void abandon();
  ShellResult result(int32_t status, bool timedOut) const {
    return ShellResult{status, sinks_[0].text(), sinks_[1].text(), timedOut};
  }

 private:
  // Reads output until the tool exits (`forExit`) or both streams end; false when `until`
  // came first or polling failed.
  bool pump(Clock::time_point until, bool forExit);
  // Waits at most `wait` for output or the exit, and takes what came.
  bool pollOnce(Clock::duration wait, bool forExit);
  void readFrom(size_t stream);
  bool exitedWithoutPidfd() const;

  pid_t pid_;
  Fd pidfd_;
  std::array<Fd, 2> pipes_;
  std::array<ShellSink, 2> sinks_;
  bool exited_ = false;
  bool reaped_ = false;
};

bool Child::pump(Clock::time_point until, bool forExit) {
  while (forExit ? !exited_ : pipes_[0].valid() || pipes_[1].valid()) {
    const auto now = Clock::now();
    if (now >= until || !pollOnce(until - now, forExit)) return false;
  }
  return true;
}

bool Child::pollOnce(Clock::duration wait, bool forExit) {
  constexpr size_t kExitSlot = 2;
  std::array<pollfd, 3> fds{};
  std::array<size_t, 3> slots{};
  nfds_t count = 0;
  const auto watch = [&](const Fd& fd, size_t slot) {
    if (!fd.valid()) return;
    fds[count] = pollfd{fd.get(), POLLIN, 0};
    slots[count++] = slot;
  };
  watch(pipes_[0], 0);
  watch(pipes_[1], 1);
  if (forExit) watch(pidfd_, kExitSlot);
  if (forExit && !pidfd_.valid()) wait = std::min<Clock::duration>(wait, kFallbackTick);
  const timespec timeout = toTimespec(wait);
  if (::ppoll(fds.data(), count, &timeout, nullptr) < 0 && errno != EINTR) return false;
  for (nfds_t k = 0; k < count; ++k) {
    if (fds[k].revents == 0) continue;
    if (slots[k] == kExitSlot)
      exited_ = true;
    else
      readFrom(slots[k]);
  }
  if (forExit && !pidfd_.valid()) exited_ = exitedWithoutPidfd();
  return true;
}

void Child::readFrom(size_t stream) {
  std::array<char, kReadChunk> chunk;
  const ssize_t n = ::read(pipes_[stream].get(), chunk.data(), chunk.size());
  if (n > 0)
    sinks_[stream].append(std::string_view(chunk.data(), static_cast<size_t>(n)));
  else if (n == 0 || (errno != EINTR && errno != EAGAIN))
    pipes_[stream].reset();  // end of file, or a stream we can no longer read
}

bool Child::exitedWithoutPidfd() const {
  siginfo_t info{};
  if (::waitid(P_PID, pid_, &info, WEXITED | WNOHANG | WNOWAIT) != 0) return errno == ECHILD;
  return info.si_pid == pid_;
}

// Returns the exit status, or the signal that ended the tool; -1 when someone else reaped
// it (a caller that ignores SIGCHLD has its children reaped by the kernel).
int32_t Child::reap() {
  reaped_ = true;
  siginfo_t info{};
  int rc = 0;
  while ((rc = ::waitid(P_PID, pid_, &info, WEXITED)) != 0 && errno == EINTR) {
  }
  if (rc != 0 || info.si_pid != pid_) return -1;
  return info.si_status;  // the exit code for CLD_EXITED, the signal for CLD_KILLED/DUMPED
}

// Reaps the tool when it has exited, else leaves it to a reaper thread.
void Child::abandon() {
  if (exited_) {
    reap();
    return;
  }
  reaped_ = true;
  reapLater(pid_);
}

// After a time-out: SIGTERM to the tree, SIGKILL 2 s later if the tool is still there,
// then the drain waits around a SIGKILL to the process group for children that escaped.
ShellResult terminate(Child& child) {
  child.signalTree(SIGTERM);
  if (!child.waitExit(Clock::now() + kExitGrace)) {
    child.signalTree(SIGKILL);
    child.waitExit(Clock::now() + kExitGrace);
  }
  child.drain(Clock::now() + kDrainAfterKill);
  child.killGroup();
  child.drain(Clock::now() + kDrainAfterKill);
  child.abandon();
  return child.result(-1, true);
}

std::optional<ShellResult> launchAndWait(const std::vector<std::string>& args,
                                         const std::optional<ShellEnv>& env, double timeout) {
  auto out = makePipe();
  auto err = makePipe();
  if (!out || !err) return std::nullopt;
  const auto pid = SpawnSetup(out->write.get(), err->write.get()).spawn(args, env);
  if (!pid) return std::nullopt;
  Child child(*pid, std::move(out->read), std::move(err->read));
  out->write.reset();  // only the tool holds the write ends now, so its exit ends our reads
  err->write.reset();
  if (!child.waitExit(Clock::now() + toDuration(timeout))) return terminate(child);
  // Output written just before the exit may still be in the pipes; a grandchild that
  // keeps them open cuts this short.
  child.drain(Clock::now() + kDrainAfterExit);
  const int32_t status = child.reap();
  return child.result(status, false);
}

}  // namespace

std::optional<ShellResult> Shell::run(const std::vector<std::string>& args,
                                      const std::optional<ShellEnv>& env, double timeout) {
  if (args.empty()) return std::nullopt;
  try {
    return launchAndWait(args, env, timeout);
  } catch (const std::exception&) {
    return std::nullopt;  // out of memory; the Child destructor has cleaned up
  }
}

}  // namespace kelvane
