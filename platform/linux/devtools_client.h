#pragma once
// DevToolsClient: one conversation with a browser's DevTools endpoint on the
// loopback address: the HTTP listing (/json/...) through libcurl and protocol
// commands over the browser's WebSocket. Every call ends by the deadline the
// client was made with, so a browser that hangs costs one time-out, not one
// per call. Not thread-safe; one client per thread.
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/support/result.h"

namespace kelvane {

class DevToolsSocket;

// A protocol command: its method and parameters.
struct DevToolsCommand {
  std::string method;
  nlohmann::json params = nlohmann::json::object();
};

// What went wrong, in words fit for an outcome ("no answer in time").
using DevToolsResult = Result<nlohmann::json, std::string>;

class DevToolsClient final {
 public:
  using Clock = std::chrono::steady_clock;

  // Talks to 127.0.0.1:`port` until `deadline`; connects nothing yet.
  DevToolsClient(uint16_t port, Clock::time_point deadline);
  ~DevToolsClient();
  DevToolsClient(const DevToolsClient&) = delete;
  DevToolsClient& operator=(const DevToolsClient&) = delete;

  // GETs `path` ("/json/list") and parses the answer. A refused connection, a
  // status other than 200, the deadline or a body that is not JSON give an
  // error. Proxies from the environment are never used and redirects are not
  // followed.
  DevToolsResult getJson(std::string_view path) const;

  // Opens the WebSocket at `path` ("/devtools/browser/…"). Paths with anything
  // but letters, digits, '/', '-', '_' and '.' are refused unopened.
  Result<void, std::string> connect(std::string_view path);

  // Sends every command at once and waits for all their answers: each is the
  // command's "result" object, or its error message. Answers that do not come
  // by the deadline, or before the connection drops, are errors; so are all
  // of them when not connected.
  std::vector<DevToolsResult> callAll(const std::vector<DevToolsCommand>& commands);
  // One command; see callAll.
  DevToolsResult call(std::string method, nlohmann::json params = nlohmann::json::object());

  // False before connect and once the WebSocket has closed.
  bool connected() const;
  uint16_t port() const { return port_; }
  Clock::time_point deadline() const { return deadline_; }

 private:
  uint16_t port_;
  Clock::time_point deadline_;
  std::unique_ptr<DevToolsSocket> socket_;
  int64_t nextID_ = 1;
};

}  // namespace kelvane
