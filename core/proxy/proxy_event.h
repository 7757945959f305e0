#pragma once
// ProxyEvent: one line of the local proxy engine's event stream (its CA, that it
// listens, requests, responses, errors, tunnels, WebSocket messages, devices,
// that it stopped), parsed from the engine's JSON. Commands to the engine live
// in engine_command.h.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/support/date.h"

namespace kelvane {

// One header line; order and repetitions are kept as received.
struct ProxyHeader {
  std::string name;
  std::string value;
  bool operator==(const ProxyHeader&) const = default;
};

struct ProxyRequest {
  uint64_t id = 0;  // Flow identifier assigned by the engine.
  std::optional<int32_t> pid;
  std::string client;
  std::string method;
  std::string url;
  std::string version;
  std::vector<ProxyHeader> headers;
  std::vector<uint8_t> body;  // Possibly cut short: see `truncated`.
  int64_t bodyLength = 0;     // Full length as the engine saw it.
  bool truncated = false;
  Date at;
  bool operator==(const ProxyRequest&) const = default;
};

struct ProxyResponse {
  uint64_t id = 0;
  int64_t status = 0;
  std::string version;
  std::vector<ProxyHeader> headers;
  std::vector<uint8_t> body;
  int64_t bodyLength = 0;
  bool truncated = false;
  Date at;
  bool operator==(const ProxyResponse&) const = default;
};

struct ProxyTunnel {
  uint64_t id = 0;
  std::optional<int32_t> pid;
  std::string client;
  std::string host;
  int64_t port = 0;
  Date at;
  bool operator==(const ProxyTunnel&) const = default;
};

struct ProxyWSMessage {
  uint64_t id = 0;        // The flow of the WebSocket.
  bool outgoing = false;  // Client to server.
  std::string opcode;
  std::vector<uint8_t> data;
  int64_t length = 0;  // Full payload length.
  Date at;
  bool operator==(const ProxyWSMessage&) const = default;
};

// One parsed event: exactly one of the nine cases, held in `value`.
struct ProxyEvent {
  struct Ca {
    std::string certPEM;
    std::string keyPEM;  // Never shown in descriptions.
    bool operator==(const Ca&) const = default;
  };
  struct Ready {
    int64_t port = 0;
    std::optional<std::string> lan;
    bool operator==(const Ready&) const = default;
  };
  struct Error {
    uint64_t id = 0;
    std::string message;
    bool operator==(const Error&) const = default;
  };
  struct Device {
    std::string ip;
    bool operator==(const Device&) const = default;
  };
  struct Stopped {
    std::string reason;
    bool operator==(const Stopped&) const = default;
  };
  using Value = std::variant<Ca, Ready, ProxyRequest, ProxyResponse, Error, ProxyTunnel,
                             ProxyWSMessage, Device, Stopped>;

  Value value;
  bool operator==(const ProxyEvent&) const = default;

  // Parses one line (without its newline). nullopt when the line is not one JSON
  // object, lacks "type" or a member its type requires, has a member of the
  // wrong JSON type, or names an unknown type. Invalid Base64 gives empty bytes.
  [[nodiscard]] static std::optional<ProxyEvent> fromLine(std::string_view line);

  // Returns the case's payload, or nullptr when the event is another case.
  template <class T>
  const T* as() const {
    return std::get_if<T>(&value);
  }
  // Renders the event on one line for logs, e.g. "error(id: 4, message: reset)";
  // the CA's private key shows as "<hidden>", bodies as their byte count.
  std::string description() const;
};

}  // namespace kelvane
