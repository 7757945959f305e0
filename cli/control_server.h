#pragma once
// ControlServer: the agent's control socket. It listens on a Unix socket that
// only its own user may reach (mode 0600, and every peer's user ID checked),
// reads one request per line and answers each in order on the same
// connection. A bad line gets an error reply and the connection stays; a line
// past the length limit is answered with an error and skipped, never held.
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include <asio/io_context.hpp>
#include <nlohmann/json.hpp>

#include "cli/control_protocol.h"
#include "core/support/result.h"

namespace kelvane {

// Runs on the thread of its io_context; handlers are called there.
class ControlServer final {
 public:
  // Takes the reply to one request; later calls are ignored. May be called at
  // once or later (after a run); it does nothing once the client has gone.
  using Reply = Control::Reply;
  using Handler = std::function<void(const Control::Request&, Reply)>;
  // Hears what the server refused or dropped, for the log.
  using Notice = std::function<void(const std::string&)>;

  struct Options {
    size_t maxClients = 32;
    size_t maxRequestBytes = Control::kMaxRequestBytes;
    // A connection without a byte read or written for this long is closed,
    // unless it waits for the reply to a request.
    std::chrono::milliseconds idleTimeout = std::chrono::minutes(5);
  };

  // Listens at `path`. A socket left there by an agent that ended is replaced;
  // fails when an agent still answers there, or when something else than a
  // socket of this user is in the way (it is never removed).
  static Result<std::unique_ptr<ControlServer>, std::string> listen(asio::io_context& io,
                                                                    std::string path,
                                                                    Handler handler, Notice notice,
                                                                    Options options);
  // Stops listening, closes every connection and removes the socket.
  ~ControlServer();
  ControlServer(const ControlServer&) = delete;
  ControlServer& operator=(const ControlServer&) = delete;

  const std::string& path() const { return path_; }
  // The connections open now.
  size_t clients() const;

  // The listener's state, shared with its connections; internal.
  struct State;

 private:
  explicit ControlServer(std::string path) : path_(std::move(path)) {}
  std::string path_;
  std::shared_ptr<State> state_;
};

}  // namespace kelvane
