// `kelvane proxy` against a scripted stand-in for the helper's socket.
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

extern char** environ;

namespace {

constexpr int kPatienceMs = 10'000;

// Accepts one connection and answers each request line with `answer(line)`;
// an empty answer hangs up, as does the reply number `hangUpAfter`. Records
// the lines it got.
class FakeHelper {
 public:
  explicit FakeHelper(std::function<std::string(const std::string&)> answer, int hangUpAfter = -1)
      : answer_(std::move(answer)), hangUpAfter_(hangUpAfter) {
    char pattern[] = "/tmp/kelvane-cli-XXXXXX";
    folder_ = ::mkdtemp(pattern);
    socket = folder_ + "/helper.sock";
    listener_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strcpy(address.sun_path, socket.c_str());
    ::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(listener_, 1);
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeHelper() {
    thread_.join();
    ::close(listener_);
    std::filesystem::remove_all(folder_);
  }

  std::string socket;
  std::vector<std::string> lines;

 private:
  void serve() {
    pollfd ready{listener_, POLLIN, 0};
    if (::poll(&ready, 1, kPatienceMs) != 1) return;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    std::string pending;
    char c;
    pollfd readable{fd, POLLIN, 0};
    while (::poll(&readable, 1, kPatienceMs) == 1 && ::recv(fd, &c, 1, 0) == 1) {
      if (c != '\n') {
        pending += c;
        continue;
      }
      lines.push_back(pending);
      const std::string reply = answer_(pending);
      pending.clear();
      if (reply.empty()) break;
      ::send(fd, (reply + "\n").data(), reply.size() + 1, MSG_NOSIGNAL);
      if (--hangUpAfter_ == 0) break;
    }
    ::close(fd);
  }

  std::function<std::string(const std::string&)> answer_;
  int hangUpAfter_;
  std::string folder_;
  int listener_ = -1;
  std::thread thread_;
};

struct Run {
  int status = -1;
  std::string out, err;
};

// Runs the tool with `args`; `onFirstLine` is called with its pid once it has
// printed a line to stdout.
Run kelvane(std::vector<std::string> args, std::function<void(pid_t)> onFirstLine = {}) {
  args.insert(args.begin(), KELVANE_CLI_PATH);
  std::vector<char*> argv;
  for (auto& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
  pid_t pid = -1;
  const int spawned = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  ::close(err[1]);
  Run run;
  char chunk[512];
  for (ssize_t n; spawned == 0 && (n = ::read(out[0], chunk, sizeof chunk)) > 0;) {
    run.out.append(chunk, size_t(n));
    if (onFirstLine && run.out.find('\n') != std::string::npos) std::exchange(onFirstLine, {})(pid);
  }
  for (ssize_t n; spawned == 0 && (n = ::read(err[0], chunk, sizeof chunk)) > 0;)
    run.err.append(chunk, size_t(n));
  ::close(out[0]);
  ::close(err[0]);
  if (spawned == 0) ::waitpid(pid, &run.status, 0);
  run.status = WIFEXITED(run.status) ? WEXITSTATUS(run.status) : -1;
  return run;
}

TEST(ProxyCommand, StatusPrintsBothFlags) {
  FakeHelper helper([](const std::string&) { return R"({"applied":true,"tampered":false})"; });
  const auto run = kelvane({"proxy", "status", "--socket", helper.socket});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, "applied: yes\ntampered: no\n");
  EXPECT_EQ(helper.lines, std::vector<std::string>{R"({"call":"status"})"});
}

TEST(ProxyCommand, EnableHoldsTheSwitchUntilInterrupted) {
  FakeHelper helper([](const std::string&) { return "{}"; });
  const auto run = kelvane({"proxy", "--socket", helper.socket, "enable", "--port", "9093"},
                           [](pid_t pid) { ::kill(pid, SIGINT); });
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out,
            "Proxy switched to 127.0.0.1:9093. Press Ctrl-C to put the settings back.\n"
            "Proxy settings put back.\n");
  EXPECT_EQ(helper.lines,
            (std::vector<std::string>{R"({"call":"enable","host":"127.0.0.1","port":9093})",
                                      R"({"call":"disable"})"}));
}

TEST(ProxyCommand, FailuresAreReportedWithStatusOne) {
  {
    FakeHelper helper([](const std::string&) { return R"({"error":"Invalid proxy address"})"; });
    const auto run = kelvane({"proxy", "enable", "--port", "80", "--socket", helper.socket});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kelvane: Invalid proxy address\n");
  }
  {
    FakeHelper helper([](const std::string&) { return ""; });  // refused: hangs up
    const auto run = kelvane({"proxy", "disable", "--socket", helper.socket});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "kelvane: the proxy helper refused this client or hung up; see the system log\n");
  }
  {
    FakeHelper helper([](const std::string&) { return "{}"; }, /*hangUpAfter=*/1);
    const auto run = kelvane({"proxy", "enable", "--port", "9091", "--socket", helper.socket});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "kelvane: the proxy helper went away; it puts the settings back itself\n");
  }
  const auto run = kelvane({"proxy", "status", "--socket", "/nonexistent/helper.sock"});
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err,
            "kelvane: can't reach the proxy helper at /nonexistent/helper.sock: "
            "No such file or directory\n");
}

}  // namespace
