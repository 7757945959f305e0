#include "helper/testing/helper_process.h"

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
#include <utility>

extern char** environ;

namespace kelvane::testing {
namespace {

constexpr int kPatienceMs = 10'000;

int connectTo(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  ::close(fd);
  return -1;
}

}  // namespace

bool eventually(const std::function<bool()>& condition) {
  for (int waited = 0; !condition(); waited += 10) {
    if (waited > kPatienceMs) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return true;
}

HelperClient::HelperClient(const std::string& socketPath)
    : fd_(connectTo(socketPath)), greeting_(readLine()) {}

HelperClient::~HelperClient() { ::close(fd_); }

void HelperClient::send(std::string_view bytes) {
  for (ssize_t n = 0; !bytes.empty(); bytes.remove_prefix(size_t(n)))
    if ((n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL)) <= 0) return;
}

std::optional<std::string> HelperClient::readLine() {
  std::string line;
  pollfd readable{fd_, POLLIN, 0};
  for (char c = 0; ::poll(&readable, 1, kPatienceMs) == 1 && ::recv(fd_, &c, 1, 0) == 1;) {
    if (c == '\n') return line;
    line += c;
  }
  return std::nullopt;
}

std::optional<std::string> HelperClient::request(std::string_view line) {
  send(std::string(line) + "\n");
  return readLine();
}

ChildProcess::ChildProcess(std::string program, std::vector<std::string> args,
                           const std::string& outputPath) {
  args.insert(args.begin(), std::move(program));
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, outputPath.c_str(),
                                   O_WRONLY | O_CREAT | O_APPEND, 0600);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
}

bool ChildProcess::waitForSocket(const std::string& socketPath) {
  if (pid_ <= 0) return false;
  const bool settled = eventually([&] {
    if (::waitpid(pid_, nullptr, WNOHANG) != 0) pid_ = -1;  // it ended (or never started)
    const int fd = pid_ > 0 ? connectTo(socketPath) : -1;
    if (fd >= 0) ::close(fd);
    return pid_ <= 0 || fd >= 0;
  });
  return settled && pid_ > 0;
}

int ChildProcess::stop(int signal) {
  if (pid_ <= 0) return -1;
  // pid_ is an unreaped child of ours, so the number cannot belong to anyone else.
  const pid_t pid = std::exchange(pid_, -1);
  if (signal != 0) ::kill(pid, signal);
  int status = 0;
  if (!eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; })) {
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace kelvane::testing
