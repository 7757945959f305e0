#include "platform/linux/testing/x_server.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "core/support/text.h"
#include "platform/linux/x11_connection.h"
#include "platform/linux/x11_properties.h"

extern char** environ;

namespace kelvane {
namespace {

using Clock = std::chrono::steady_clock;
using Failure = Unexpected<std::string>;

bool onPath(const std::string& name) {
  const char* path = ::getenv("PATH");
  for (const auto dir : Text::split(path ? path : "/usr/bin:/bin", ':')) {
    const std::string file = std::string(dir) + "/" + name;
    if (::access(file.c_str(), X_OK) == 0) return true;
  }
  return false;
}

// Reads what a child writes to `fd` until `done` says it is enough, the child
// closes it, or `timeout` passes.
std::string readUntil(int fd, std::chrono::milliseconds timeout, bool (*done)(const std::string&)) {
  std::string text;
  const auto deadline = Clock::now() + timeout;
  while (!done(text)) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
    if (left <= 0 || ::poll(&p, 1, static_cast<int>(left)) <= 0) break;
    char buffer[512];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  return text;
}

// An openbox configuration with named desktops and no animations; the rest
// takes openbox's defaults.
std::string openboxConfig(int desktops) {
  std::string names;
  for (int d = 1; d <= desktops; ++d) names += "<name>Desk " + std::to_string(d) + "</name>";
  return R"(<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <focus><focusNew>yes</focusNew><followMouse>no</followMouse></focus>
  <desktops><number>)" +
         std::to_string(desktops) + "</number><firstdesk>1</firstdesk><names>" + names +
         R"(</names><popupTime>0</popupTime></desktops>
  <animateIconify>no</animateIconify>
</openbox_config>
)";
}

// Returns a connection once an EWMH window manager runs and manages windows:
// the root names a check window that names itself, and a probe window gets
// reparented into a frame. (Openbox names itself a moment before it takes
// windows; one mapped in between stays unmanaged.) The connection must stay
// open: the server hands a closed client's window IDs to the next client, and
// the manager, still busy with the probe's end, would take that client's
// first window for the probe.
std::unique_ptr<X11Connection> managerUp(const std::string& display) {
  auto x = X11Connection::open(display, std::chrono::milliseconds(500));
  if (!x) return nullptr;
  X11Connection& c = **x;
  const auto check = c.askProperty(c.root(), c.ewmh()._NET_SUPPORTING_WM_CHECK);
  if (!c.sync()) return nullptr;
  const auto window = X11Props::single(c.property(check).value_or(XProperty{}));
  if (!window) return nullptr;
  const auto self = c.askProperty(*window, c.ewmh()._NET_SUPPORTING_WM_CHECK);
  if (!c.sync()) return nullptr;
  const auto value = c.property(self);
  if (!value || X11Props::single(*value) != window) return nullptr;

  const xcb_window_t probe = xcb_generate_id(c.raw());
  const uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_create_window(c.raw(), XCB_COPY_FROM_PARENT, probe, c.root(), 0, 0, 10, 10, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, c.screen().root_visual, XCB_CW_EVENT_MASK,
                    &mask);
  xcb_map_window(c.raw(), probe);
  if (!c.sync()) return nullptr;
  const auto deadline = Clock::now() + std::chrono::milliseconds(500);
  bool managed = false;
  while (!managed && Clock::now() < deadline) {
    while (xcb_generic_event_t* event = xcb_poll_for_event(c.raw())) {
      managed |= (event->response_type & 0x7F) == XCB_REPARENT_NOTIFY;
      ::free(event);
    }
    pollfd p{.fd = c.fd(), .events = POLLIN, .revents = 0};
    if (!managed) ::poll(&p, 1, 20);
  }
  xcb_destroy_window(c.raw(), probe);
  while (managed && Clock::now() < deadline + std::chrono::seconds(2)) {
    const auto clients = c.askProperty(c.root(), c.ewmh()._NET_CLIENT_LIST, 65536);
    if (!c.sync()) return nullptr;
    const auto list = c.property(clients).value_or(XProperty{}).items32();
    if (std::find(list.begin(), list.end(), probe) == list.end()) return std::move(x.value());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return nullptr;
}

}  // namespace

std::optional<ChildProcess> ChildProcess::spawn(const std::vector<std::string>& argv,
                                                const std::vector<std::string>& environment,
                                                std::optional<int> stdoutFd) {
  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env(environment);
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string_view entry(*e);
    const auto name = entry.substr(0, entry.find('=') + 1);
    if (std::none_of(environment.begin(), environment.end(),
                     [&](const std::string& own) { return own.starts_with(name); }))
      env.emplace_back(entry);
  }
  std::vector<char*> envp;
  for (auto& entry : env) envp.push_back(entry.data());
  envp.push_back(nullptr);

  // Not posix_spawn: the child must die with the test, even when the test is
  // killed or aborts before its destructors run, and only a child of fork can
  // ask for that. Between fork and exec it calls only async-signal-safe functions.
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) return std::nullopt;
  if (pid == 0) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) ::_exit(127);
    const int devNull = ::open("/dev/null", O_RDWR);
    ::dup2(devNull, STDIN_FILENO);
    ::dup2(stdoutFd.value_or(devNull), STDOUT_FILENO);
    ::dup2(devNull, STDERR_FILENO);
    ::execvpe(args[0], args.data(), envp.data());
    ::_exit(127);
  }
  return ChildProcess(pid);
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_) { other.pid_ = -1; }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    end(std::chrono::milliseconds(0));
    pid_ = other.pid_;
    other.pid_ = -1;
  }
  return *this;
}

ChildProcess::~ChildProcess() { end(std::chrono::seconds(2)); }

void ChildProcess::signal(int signal) const {
  if (pid_ > 0) ::kill(pid_, signal);
}

bool ChildProcess::waitExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return true;
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_ || (done < 0 && errno == ECHILD)) {
      pid_ = -1;
      return true;
    }
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void ChildProcess::end(std::chrono::milliseconds grace) {
  if (pid_ <= 0) return;
  signal(SIGCONT);  // A stopped child cannot act on SIGTERM.
  signal(SIGTERM);
  if (waitExit(grace)) return;
  signal(SIGKILL);
  waitExit(std::chrono::seconds(10));
}

bool XServer::installed() { return onPath("Xvfb") && onPath("openbox"); }

Result<std::unique_ptr<XServer>, std::string> XServer::start(int desktops, int width, int height) {
  std::unique_ptr<XServer> server(new XServer());
  int pipes[2];
  if (::pipe2(pipes, O_CLOEXEC) != 0) return Failure("no pipe");
  // Xvfb picks a free display number itself and writes it to the descriptor
  // it is given: the pipe, moved to descriptor 3 by the shell that execs it.
  const std::string size = std::to_string(width) + "x" + std::to_string(height) + "x24";
  server->xvfb_ = ChildProcess::spawn({"sh", "-c",
                                       "exec 3>&1 1>/dev/null; exec Xvfb -displayfd 3 -screen 0 " +
                                           size + " -nolisten tcp -noreset"},
                                      {}, pipes[1]);
  ::close(pipes[1]);
  if (!server->xvfb_) {
    ::close(pipes[0]);
    return Failure("cannot start Xvfb");
  }
  const std::string number = readUntil(pipes[0], std::chrono::seconds(15), [](const auto& text) {
    return text.find('\n') != std::string::npos;
  });
  ::close(pipes[0]);
  int n = -1;
  const auto [end, ec] = std::from_chars(number.data(), number.data() + number.size(), n);
  if (ec != std::errc() || n < 0) return Failure("Xvfb did not name its display");
  server->display_ = ":" + std::to_string(n);

  const auto home = server->home_.path();
  std::ofstream(home / "rc.xml") << openboxConfig(desktops);
  server->openbox_ = ChildProcess::spawn(
      {"openbox", "--sm-disable", "--config-file", (home / "rc.xml").string()},
      {"DISPLAY=" + server->display_, "HOME=" + home.string(),
       "XDG_CONFIG_HOME=" + (home / "config").string(), "XDG_CONFIG_DIRS=" + home.string(),
       "XDG_DATA_HOME=" + (home / "data").string(), "XDG_CACHE_HOME=" + (home / "cache").string()});
  if (!server->openbox_) return Failure("cannot start openbox");
  const auto deadline = Clock::now() + std::chrono::seconds(15);
  while (!(server->probe_ = managerUp(server->display_))) {
    if (Clock::now() >= deadline) return Failure("openbox did not come up");
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return server;
}

XServer::~XServer() {
  // The window manager first, so that it does not see its server vanish; the
  // server must be running for it to finish.
  if (xvfb_) xvfb_->signal(SIGCONT);
  probe_.reset();
  openbox_.reset();
  xvfb_.reset();
}

void XServer::pause() const { xvfb_->signal(SIGSTOP); }

void XServer::resume() const { xvfb_->signal(SIGCONT); }

Result<std::unique_ptr<TestApp>, std::string> TestApp::start(const XServer& server,
                                                             const std::vector<std::string>& args) {
  int pipes[2];
  if (::pipe2(pipes, O_CLOEXEC) != 0) return Failure("no pipe");
  std::vector<std::string> argv{KELVANE_TEST_WINDOW};
  argv.insert(argv.end(), args.begin(), args.end());
  auto child = ChildProcess::spawn(argv, {"DISPLAY=" + server.display()}, pipes[1]);
  ::close(pipes[1]);
  if (!child) {
    ::close(pipes[0]);
    return Failure("cannot start the test window program");
  }
  // It prints each window's ID on a line of its own, then "ready".
  const std::string out = readUntil(pipes[0], std::chrono::seconds(10), [](const auto& text) {
    return text.find("ready\n") != std::string::npos;
  });
  ::close(pipes[0]);
  if (out.find("ready\n") == std::string::npos)
    return Failure("the test window program did not show its windows: " + out);
  std::vector<uint32_t> windows;
  for (const auto text : Text::split(out, '\n')) {
    uint32_t id = 0;
    if (std::from_chars(text.data(), text.data() + text.size(), id).ec == std::errc())
      windows.push_back(id);
  }
  return std::unique_ptr<TestApp>(new TestApp(std::move(*child), std::move(windows)));
}

}  // namespace kelvane
