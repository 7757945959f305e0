#pragma once
// Flow: one exchange the proxy engine saw (an HTTP request with its response
// or error, a CONNECT tunnel, or a WebSocket with its messages), as the flow
// log keeps it.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/proxy/proxy_event.h"
#include "core/support/date.h"

namespace kelvane {

struct Flow {
  enum class Kind { http, tunnel, websocket };

  uint64_t id = 0;  // Engine ID plus the session's offset.
  Kind kind = Kind::http;
  std::optional<int32_t> pid;
  std::string client;
  std::string method;  // "CONNECT" for tunnels.
  std::string url;     // host:port for tunnels.
  std::string host;
  std::string path;  // Percent-encoded path, plus "?" and the query when there is one.
  Date started;
  std::optional<ProxyRequest> request;
  std::optional<ProxyResponse> response;
  std::optional<std::string> error;
  std::vector<ProxyWSMessage> messages;
  bool bodiesDropped = false;  // Bodies were discarded to save memory.
  uint64_t seq = 0;            // Insertion sequence number in the log.
  int64_t messageBytes = 0;    // Captured WebSocket payload bytes held.
  int64_t messageLength = 0;   // Total WebSocket payload length seen.
  bool operator==(const Flow&) const = default;

  // Returns the response's status; nullopt without a response.
  std::optional<int64_t> status() const;
  // Returns seconds from `started` to the response; nullopt without a response.
  std::optional<double> duration() const;
  // Returns the full size seen: both body lengths plus every message's length,
  // whether or not the bytes are still held.
  int64_t size() const;
  // Returns the body and message bytes actually held in memory.
  int64_t bodyBytes() const;
  // Adds a WebSocket message; its data is dropped first when the flow's bodies
  // have been dropped, but its length still counts.
  void append(ProxyWSMessage message);
};

// Returns "http", "tunnel" or "websocket".
std::string_view kindName(Flow::Kind kind);

}  // namespace kelvane
