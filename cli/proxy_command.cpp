// kelvane proxy: asks the proxy helper daemon to point the system proxy at the
// local proxy (for as long as the command runs), to put the user's settings
// back, or how things stand.
#include <cerrno>
#include <cstring>
#include <iostream>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <string>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <CLI/CLI.hpp>

#include "cli/command.h"
#include "core/proxyswitch/helper_protocol.h"

namespace kelvane::cli {
namespace {

constexpr const char* kDefaultSocket = "/run/kelvane/proxyhelper.sock";

// How long the helper has to greet a new connection. An older helper, which
// never greets, is given up on after this rather than waited for in silence.
constexpr int kGreetingWaitMs = 10'000;

// One blocking connection to the helper, carrying request and reply lines.
class HelperConnection {
 public:
  // Connects and waits for the helper's greeting: it speaks first once it has
  // admitted this client, and refuses a client that writes before that.
  explicit HelperConnection(const std::string& path) {
    sockaddr_un address{};
    if (path.size() >= sizeof address.sun_path) {
      error_ = "can't reach the proxy helper at " + path + ": the socket path is too long";
      return;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      error_ = "can't reach the proxy helper at " + path + ": " + std::strerror(errno);
      return;
    }
    const auto greeting = readLine(kGreetingWaitMs);
    if (!greeting && timedOut_)
      error_ = "the proxy helper at " + path +
               " did not greet this client in time; it may be busy or older than this tool";
    else if (!greeting)
      error_ = "the proxy helper refused this client; see the system log";
    else if (!HelperProtocol::isGreeting(*greeting))
      error_ = "the proxy helper at " + path + " did not greet this client as it should";
  }
  ~HelperConnection() {
    if (fd_ >= 0) ::close(fd_);
  }
  HelperConnection(const HelperConnection&) = delete;
  HelperConnection& operator=(const HelperConnection&) = delete;

  // Why the helper cannot be talked to; nullopt once it has greeted this client.
  const std::optional<std::string>& error() const { return error_; }
  int fd() const { return fd_; }

  // Sends one request and returns the decoded reply; nullopt when the helper
  // hung up or replied nonsense.
  std::optional<HelperReply> call(const HelperRequest& request) {
    const std::string line = HelperProtocol::encodeRequest(request) + "\n";
    if (::send(fd_, line.data(), line.size(), MSG_NOSIGNAL) != ssize_t(line.size()))
      return std::nullopt;
    const auto reply = readLine(/*timeoutMs=*/-1);
    return reply ? HelperProtocol::decodeReply(*reply) : std::nullopt;
  }

 private:
  // Returns the next line without its newline; nullopt when the helper hangs up,
  // sends a line past the length limit, or stays silent for `timeoutMs` (-1:
  // waits for good), which sets timedOut_.
  std::optional<std::string> readLine(int timeoutMs) {
    std::string line;
    for (char c = 0;;) {
      pollfd readable{fd_, POLLIN, 0};
      const int ready = ::poll(&readable, 1, timeoutMs);
      if (ready < 0 && errno == EINTR) continue;
      timedOut_ = ready == 0;
      if (ready <= 0 || ::recv(fd_, &c, 1, 0) != 1) return std::nullopt;
      if (c == '\n') return line;
      if (line.size() >= HelperProtocol::kMaxLineBytes) return std::nullopt;
      line += c;
    }
  }

  int fd_ = -1;
  std::optional<std::string> error_;
  bool timedOut_ = false;
};

struct ProxyOptions {
  std::string socket = kDefaultSocket;
  std::string host = "127.0.0.1";
  int64_t port = 0;
};

int fail(const std::string& message) {
  std::cerr << "kelvane: " << message << "\n";
  return 1;
}

// Connects and makes one call; prints the failure and returns nullopt when either fails.
std::optional<HelperReply> callHelper(HelperConnection& helper, const ProxyOptions& o,
                                      const HelperRequest& request) {
  if (helper.error()) {
    fail(*helper.error());
    return std::nullopt;
  }
  auto reply = helper.call(request);
  if (!reply) fail("the proxy helper at " + o.socket + " hung up; see the system log");
  return reply;
}

HelperRequest request(HelperCall call, std::string host = "", int64_t port = 0) {
  HelperRequest r;
  r.call = call;
  r.host = std::move(host);
  r.port = port;
  return r;
}

// Takes SIGINT and SIGTERM as readable events on the returned descriptor
// instead of letting them end the process.
int catchStopSignals() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  ::sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
  return ::signalfd(-1, &stopSignals, SFD_CLOEXEC);
}

// Holds the switch until a stop signal, then asks for the settings back. The
// helper restores by itself should this process die instead.
int holdUntilInterrupted(HelperConnection& helper, const ProxyOptions& o, int signals) {
  pollfd watched[2] = {{helper.fd(), POLLIN, 0}, {signals, POLLIN, 0}};
  while (::poll(watched, 2, -1) < 0 && errno == EINTR) {
  }
  if (!(watched[1].revents & POLLIN))
    return fail("the proxy helper went away; it puts the settings back itself");
  if (!callHelper(helper, o, request(HelperCall::disable))) return 1;
  std::cout << "Proxy settings put back.\n";
  return 0;
}

int enable(const ProxyOptions& o) {
  // Caught from before the switch, so that no interruption can skip the disable.
  const int signals = catchStopSignals();
  HelperConnection helper(o.socket);
  const auto reply = callHelper(helper, o, request(HelperCall::enable, o.host, o.port));
  int status = 1;
  if (reply && reply->error) {
    fail(*reply->error);
  } else if (reply) {
    std::cout << "Proxy switched to " << o.host << ":" << o.port
              << ". Press Ctrl-C to put the settings back." << std::endl;
    status = holdUntilInterrupted(helper, o, signals);
  }
  if (signals >= 0) ::close(signals);
  return status;
}

int simpleCall(const ProxyOptions& o, HelperCall call) {
  HelperConnection helper(o.socket);
  const auto reply = callHelper(helper, o, request(call));
  if (!reply) return 1;
  if (reply->error) return fail(*reply->error);
  if (call == HelperCall::disable)
    std::cout << "Proxy settings put back.\n";
  else
    std::cout << "applied: " << (reply->applied ? "yes" : "no") << "\n"
              << "tampered: " << (reply->tampered ? "yes" : "no") << "\n";
  return 0;
}

void addProxyCommand(CLI::App& app, int& exitCode) {
  auto options = std::make_shared<ProxyOptions>();
  auto* proxy = app.add_subcommand("proxy", "Switch the system proxy through the proxy helper");
  proxy->require_subcommand(1);
  // --socket is taken before or after the action.
  const auto addSocket = [&](CLI::App* command) {
    command->add_option("--socket", options->socket, "The proxy helper's socket")
        ->capture_default_str();
  };
  addSocket(proxy);
  auto* on = proxy->add_subcommand("enable",
                                   "Point the system proxy at the local proxy until interrupted");
  on->add_option("--port", options->port, "The local proxy's port (9091-9111)")->required();
  on->add_option("--host", options->host, "The local proxy's address")->capture_default_str();
  on->callback([options, &exitCode] { exitCode = enable(*options); });
  auto* off = proxy->add_subcommand("disable", "Put the user's proxy settings back");
  off->callback([options, &exitCode] { exitCode = simpleCall(*options, HelperCall::disable); });
  auto* status = proxy->add_subcommand(
      "status", "Show whether the proxy is switched and whether someone changed it");
  status->callback([options, &exitCode] { exitCode = simpleCall(*options, HelperCall::status); });
  for (auto* action : {on, off, status}) addSocket(action);
}

const CommandRegistration registration("proxy", addProxyCommand);

}  // namespace
}  // namespace kelvane::cli
