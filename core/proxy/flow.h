#pragma once
// Flow: one exchange the proxy engine saw (an HTTP request with its response
// or error, a CONNECT tunnel, or a WebSocket with its messages), as the flow
// log keeps it.
#include <cstdint>
#include <list>
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
  // Oldest first; the oldest go first to save memory. A list, since an empty
  // one costs nothing, and the oldest leave one by one.
  std::list<ProxyWSMessage> messages;
  bool bodiesDropped = false;    // Bodies were discarded to save memory.
  uint64_t seq = 0;              // Insertion sequence number in the log.
  int64_t messageBytes = 0;      // Captured WebSocket payload bytes held.
  int64_t messageLength = 0;     // Total WebSocket payload length seen.
  uint64_t messagesDropped = 0;  // WebSocket messages discarded to save memory.
  bool operator==(const Flow&) const = default;

  // What one held WebSocket message costs besides its payload, counted
  // against the log's byte limit so that a long-lived socket stays bounded.
  static constexpr int64_t kMessageRecordBytes = sizeof(ProxyWSMessage) + 2 * sizeof(void*);

  // Returns the response's status; nullopt without a response.
  std::optional<int64_t> status() const;
  // Returns seconds from `started` to the response; nullopt without a response.
  std::optional<double> duration() const;
  // Returns the full size seen: both body lengths plus every message's length,
  // whether or not the bytes are still held.
  int64_t size() const;
  // Returns the bytes held in memory for bodies and WebSocket messages (their
  // payloads and a fixed cost per message held).
  int64_t bodyBytes() const;
  // True for a tunnel, and for a request once its response or error is in.
  bool complete() const;
  // Adds a WebSocket message. When the flow's bodies have been dropped, the
  // message is dropped too: only its length counts, and `messagesDropped`.
  void append(ProxyWSMessage message);
  // Drops the oldest held message and counts it; nothing when none is held.
  void dropOldestMessage();
  // Drops the bodies and every held message to save memory; the sizes seen
  // (`bodyLength`, `messageLength`) stay.
  void dropBodies();
};

// Returns "http", "tunnel" or "websocket".
std::string_view kindName(Flow::Kind kind);

}  // namespace kelvane
