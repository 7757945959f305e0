#pragma once
// The proxy helper daemon as a child process, and a line client for its
// socket, for the integration tests. Every wait is bounded so that a broken
// daemon fails a test instead of hanging it.
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace kelvane::testing {

// The longest any wait in these helpers lasts.
inline constexpr int kPatienceMs = 10'000;

// Returns true as soon as `condition` holds, checking every 10 ms; false when
// it still does not after kPatienceMs.
bool eventually(const std::function<bool()>& condition);

// One connection to the daemon's socket.
class HelperClient {
 public:
  explicit HelperClient(const std::string& socketPath);
  ~HelperClient();
  HelperClient(const HelperClient&) = delete;
  HelperClient& operator=(const HelperClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  // Sends one request line and returns the reply line; nullopt when the
  // connection closed or nothing came in time.
  std::optional<std::string> request(std::string_view line);
  // Sends raw bytes; false once the daemon has hung up.
  bool send(std::string_view bytes);
  // Returns the next line without its newline; nullopt on close or time-out.
  std::optional<std::string> readLine();
  // Returns true when the daemon closes the connection (end of file or reset)
  // before any further reply comes.
  bool closedByDaemon();
  void close();

 private:
  int fd_ = -1;
  std::string pending_;
};

// The daemon, started with `args`, its stdout and stderr appended to `logPath`.
class HelperProcess {
 public:
  HelperProcess(const std::string& program, std::vector<std::string> args,
                const std::string& logPath);
  ~HelperProcess();  // kills the daemon when it is still running
  HelperProcess(const HelperProcess&) = delete;
  HelperProcess& operator=(const HelperProcess&) = delete;

  bool running() const { return pid_ > 0; }
  // Waits until the socket accepts a connection; false when the daemon exited
  // or the socket stayed closed.
  bool waitForSocket(const std::string& socketPath);
  // Sends `signal` and waits for the daemon to end. Returns its exit status, or
  // 128 + the signal's number when a signal ended it, or -1 when it did not end.
  int stop(int signal);

 private:
  pid_t pid_ = -1;
};

}  // namespace kelvane::testing
