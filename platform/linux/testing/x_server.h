#pragma once
// XServer: a private X server for one test (Xvfb on a free display, with
// openbox as its EWMH window manager, reading a configuration of its own and
// never the user's), and TestApp: the test window program running on it. Both
// end what they started, and only that.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "core/support/result.h"
#include "core/support/testing/temp_dir.h"
#include "platform/linux/x11_connection.h"

namespace kelvane {

// A child process this test started; killed and reaped when dropped.
class ChildProcess final {
 public:
  // Starts `argv` (looked up on PATH) with the given environment entries over
  // ours; its standard output goes to `stdoutFd` when given, else nowhere. The
  // child is killed when the thread that started it ends, so a test that dies
  // leaves no server behind: start children from the test's own thread.
  static std::optional<ChildProcess> spawn(const std::vector<std::string>& argv,
                                           const std::vector<std::string>& environment,
                                           std::optional<int> stdoutFd = std::nullopt);
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ~ChildProcess();

  pid_t pid() const { return pid_; }
  // Sends `signal` to the child while it has not been reaped.
  void signal(int signal) const;
  // Waits up to `timeout` for the child to end and reaps it; true when it has.
  bool waitExit(std::chrono::milliseconds timeout);
  // Asks the child to end (SIGTERM), then kills it after `grace`.
  void end(std::chrono::milliseconds grace = std::chrono::seconds(2));

 private:
  explicit ChildProcess(pid_t pid) : pid_(pid) {}
  pid_t pid_ = -1;  // -1 once reaped.
};

class XServer final {
 public:
  // Whether Xvfb and openbox can be run here.
  static bool installed();
  // Starts Xvfb (`width` x `height`) and openbox with `desktops` desktops, and
  // waits until the window manager has announced itself. Fails with what went wrong.
  static Result<std::unique_ptr<XServer>, std::string> start(int desktops = 4, int width = 1280,
                                                             int height = 800);
  ~XServer();

  // ":N", for DISPLAY.
  const std::string& display() const { return display_; }
  // Stops or resumes the X server process, to show what a hung server does.
  void pause() const;
  void resume() const;
  // Ends the window manager, leaving a bare X server.
  void stopWindowManager() { openbox_.reset(); }

 private:
  XServer() = default;

  TempDir home_;  // HOME and configuration of the window manager.
  std::optional<ChildProcess> xvfb_;
  std::optional<ChildProcess> openbox_;
  std::unique_ptr<X11Connection> probe_;  // Held open so that its window IDs are not reused.
  std::string display_;
};

// The test window program on a server: its windows, in the order they were asked for.
class TestApp final {
 public:
  // Runs the test window program with `args` (see test_window.cpp) and waits
  // until it has shown every window. Fails with what went wrong.
  static Result<std::unique_ptr<TestApp>, std::string> start(const XServer& server,
                                                             const std::vector<std::string>& args);
  pid_t pid() const { return child_.pid(); }
  const std::vector<uint32_t>& windows() const { return windows_; }
  ChildProcess& process() { return child_; }

 private:
  TestApp(ChildProcess child, std::vector<uint32_t> windows)
      : child_(std::move(child)), windows_(std::move(windows)) {}
  ChildProcess child_;
  std::vector<uint32_t> windows_;
};

}  // namespace kelvane
