#pragma once
// Child processes (the daemon, the command-line tool) and a line client for
// the daemon's socket, for the integration tests. Every wait ends after ten
// seconds, so a broken daemon fails a test instead of hanging it.
#include <functional>
#include <optional>
#include <signal.h>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kelvane::testing {

// Returns true as soon as `condition` holds, checking every 10 ms.
bool eventually(const std::function<bool()>& condition);

// One connection to the daemon's socket, closed with the object.
class HelperClient {
 public:
  // Connects and reads the line the daemon greets an admitted client with
  // (none comes to a refused one).
  explicit HelperClient(const std::string& socketPath);
  ~HelperClient();
  HelperClient(const HelperClient&) = delete;
  HelperClient& operator=(const HelperClient&) = delete;
  // Sends bytes, stopping quietly when the daemon hangs up.
  void send(std::string_view bytes);
  // Returns the next line without its newline; nullopt on close or time-out.
  std::optional<std::string> readLine();
  // Sends one request line and returns the reply line.
  std::optional<std::string> request(std::string_view line);
  // The greeting read on connecting; nullopt when none came.
  const std::optional<std::string>& greeting() const { return greeting_; }

 private:
  int fd_;
  std::optional<std::string> greeting_;
};

// A program started with `args`, its stdout and stderr appended to
// `outputPath`; killed when the object goes while it still runs.
class ChildProcess {
 public:
  ChildProcess(std::string program, std::vector<std::string> args, const std::string& outputPath);
  ~ChildProcess() { stop(SIGKILL); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  // Waits until `socketPath` accepts a connection; false when the child ended first.
  bool waitForSocket(const std::string& socketPath);
  // Sends `signal` (none for 0) and waits for the end. Returns the exit status,
  // 128 + the signal that ended it, or -1 when it did not end.
  int stop(int signal = 0);
  // The child's process ID while it runs unreaped; -1 after stop().
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;  // an unreaped child of ours while positive
};

}  // namespace kelvane::testing
