#pragma once
// DevToolsSocket: one WebSocket connection to a browser's DevTools endpoint on
// the loopback address, carrying the protocol's JSON text messages. Calls block
// until their deadline at the latest; nothing runs between calls.
//
// This header and its source are compiled as C++17: the WebSocket library does
// not build as C++20. Keep both free of anything newer.
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace kelvane {

class DevToolsSocket final {
 public:
  using Clock = std::chrono::steady_clock;

  // An open connection, or why there is none.
  struct Opened {
    std::unique_ptr<DevToolsSocket> socket;
    std::string error;  // Empty when `socket` is set.
  };

  // Connects to ws://127.0.0.1:`port``path` and completes the opening handshake
  // by `deadline`. Refusal, a failed upgrade and the deadline all give an error.
  static Opened open(uint16_t port, const std::string& path, Clock::time_point deadline);

  ~DevToolsSocket();
  DevToolsSocket(const DevToolsSocket&) = delete;
  DevToolsSocket& operator=(const DevToolsSocket&) = delete;

  // Queues one text message, written while the next receive waits. False when
  // the connection is closed.
  bool send(const std::string& text);
  // The next text message, waiting until `deadline`; nullopt on time-out and
  // once the connection has closed.
  std::optional<std::string> receive(Clock::time_point deadline);
  // False once the peer closed the connection or it failed.
  bool isOpen() const;

 private:
  struct State;
  explicit DevToolsSocket(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace kelvane
