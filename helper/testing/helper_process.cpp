#include "helper/testing/helper_process.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace kelvane::testing {
namespace {

using Clock = std::chrono::steady_clock;

int connectTo(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0)
    return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// Waits for a process to end within the patience; its wait status, or nullopt.
std::optional<int> reap(pid_t pid, int waitMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(waitMs);
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid, &status, WNOHANG);
    if (done == pid) return status;
    if (done < 0 || Clock::now() > deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

bool eventually(const std::function<bool()>& condition) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kPatienceMs);
  while (!condition()) {
    if (Clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

HelperClient::HelperClient(const std::string& socketPath) : fd_(connectTo(socketPath)) {}

HelperClient::~HelperClient() { close(); }

void HelperClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool HelperClient::send(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(size_t(n));
  }
  return true;
}

std::optional<std::string> HelperClient::readLine() {
  const auto deadline = Clock::now() + std::chrono::milliseconds(kPatienceMs);
  for (;;) {
    if (const auto end = pending_.find('\n'); end != std::string::npos) {
      std::string line = pending_.substr(0, end);
      pending_.erase(0, end + 1);
      return line;
    }
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd readable{fd_, POLLIN, 0};
    if (fd_ < 0 || left.count() <= 0 || ::poll(&readable, 1, int(left.count())) != 1)
      return std::nullopt;
    char chunk[4096];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return std::nullopt;
    pending_.append(chunk, size_t(n));
  }
}

std::optional<std::string> HelperClient::request(std::string_view line) {
  if (!send(std::string(line) + "\n")) return std::nullopt;
  return readLine();
}

bool HelperClient::closedByDaemon() {
  pollfd readable{fd_, POLLIN, 0};
  if (fd_ < 0 || !pending_.empty() || ::poll(&readable, 1, kPatienceMs) != 1) return false;
  char byte;
  return ::recv(fd_, &byte, 1, 0) <= 0;
}

HelperProcess::HelperProcess(const std::string& program, std::vector<std::string> args,
                             const std::string& logPath) {
  args.insert(args.begin(), program);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, logPath.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  if (::posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0)
    pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

HelperProcess::~HelperProcess() {
  if (running()) stop(SIGKILL);
}

bool HelperProcess::waitForSocket(const std::string& socketPath) {
  bool died = false;
  const bool up = running() && eventually([&] {
                    died = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
                    const int fd = died ? -1 : connectTo(socketPath);
                    if (fd >= 0) ::close(fd);
                    return died || fd >= 0;
                  });
  if (died) pid_ = -1;  // reaped: its pid is no longer ours to signal
  return up && !died;
}

int HelperProcess::stop(int signal) {
  if (!running()) return -1;
  // pid_ is an unreaped child of ours, so the number cannot belong to anyone else.
  const pid_t pid = pid_;
  pid_ = -1;
  ::kill(pid, signal);
  const auto status = reap(pid, kPatienceMs);
  if (!status) {
    ::kill(pid, SIGKILL);
    reap(pid, kPatienceMs);
    return -1;
  }
  return WIFEXITED(*status) ? WEXITSTATUS(*status) : 128 + WTERMSIG(*status);
}

}  // namespace kelvane::testing
