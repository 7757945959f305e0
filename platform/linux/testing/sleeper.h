#pragma once
// Sleeper: a child process a test starts (and only it may signal), which runs
// `setup` and then sleeps; killed and reaped when the test is done with it.
#include <fcntl.h>
#include <functional>
#include <signal.h>
#include <string>
#include <string_view>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace kelvane {

class Sleeper {
 public:
  // Forks; the child runs `setup` (only async-signal-safe calls: open, bind, chdir,
  // setuid, signal) and then becomes `sleep 60`, keeping what setup opened.
  explicit Sleeper(const std::function<void()>& setup = {}, const char* seconds = "60") {
    pid_ = ::fork();
    if (pid_ == 0) {
      if (setup) setup();
      ::execl("/bin/sleep", "sleep", seconds, static_cast<char*>(nullptr));
      ::_exit(127);
    }
  }
  Sleeper(const Sleeper&) = delete;
  Sleeper& operator=(const Sleeper&) = delete;
  ~Sleeper() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }

  // A sleeper that holds `path` open.
  static Sleeper holdingOpen(const std::string& path) {
    return Sleeper([&] { ::open(path.c_str(), O_RDONLY); });
  }
  // A sleeper whose working folder is `folder`.
  static Sleeper workingIn(const std::string& folder) {
    return Sleeper([&] { (void)::chdir(folder.c_str()); });
  }
  // A sleeper listening on a Unix socket it binds at `path` (shorter than 108 bytes).
  static Sleeper listeningAt(const std::string& path) {
    sockaddr_un address{.sun_family = AF_UNIX};
    path.copy(address.sun_path, sizeof address.sun_path - 1);
    return Sleeper([&] {
      const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
      ::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
      ::listen(fd, 1);
    });
  }

  pid_t pid() const { return pid_; }
  // Waits until the child runs sleep (its setup is done); false when it never does.
  bool ready() const {
    char target[64] = {};
    const std::string link = "/proc/" + std::to_string(pid_) + "/exe";
    for (int i = 0; i < 500; ++i) {
      const ssize_t n = ::readlink(link.c_str(), target, sizeof target - 1);
      if (n > 0 && std::string_view(target, size_t(n)).ends_with("sleep")) return true;
      ::usleep(2000);
    }
    return false;
  }
  // Reaps the child if it has ended; true when it had.
  bool reapIfEnded() {
    if (reaped_) return true;
    reaped_ = ::waitpid(pid_, nullptr, WNOHANG) == pid_;
    return reaped_;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

}  // namespace kelvane
