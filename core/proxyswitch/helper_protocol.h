#pragma once
// The proxy helper's calls (ProxyHelperXPC) and their wire form: one JSON
// request per line from the client and one JSON reply per line back.
// The helper speaks first: once it has admitted a client it sends its greeting,
//   ["KelvaneProxyHelper",1]
// and only then may the client write; a client that wrote before is refused.
//   {"call":"enable","host":"127.0.0.1","port":9091}  ->  {} or {"error":"..."}
//   {"call":"disable"}                                ->  {}
//   {"call":"status"}                                 ->  {"applied":true,"tampered":false}
// A request that cannot be understood gets {"error":"..."} with the reason.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "core/support/result.h"

namespace kelvane {

// The three calls the helper offers its client. Replies may be sent before the
// call returns.
class ProxyHelperXPC {
 public:
  virtual ~ProxyHelperXPC() = default;
  // Switches to host:port; the reply carries the error message, nullopt on success.
  virtual void enable(std::string host, int64_t port,
                      std::function<void(std::optional<std::string>)> reply) = 0;
  // Puts the user's settings back; the reply carries nothing.
  virtual void disable(std::function<void()> reply) = 0;
  // Replies whether our proxy is switched on and whether someone changed it since.
  virtual void status(std::function<void(bool applied, bool tampered)> reply) = 0;
};

enum class HelperCall { enable, disable, status };

// One decoded request line.
struct HelperRequest {
  HelperCall call = HelperCall::status;
  std::string host;  // enable only
  int64_t port = 0;  // enable only
  bool operator==(const HelperRequest&) const = default;
};

// One decoded reply line. `error` is set for a failed enable or a bad request.
struct HelperReply {
  std::optional<std::string> error;
  bool applied = false;   // status only
  bool tampered = false;  // status only
  bool operator==(const HelperReply&) const = default;
};

namespace HelperProtocol {

// Request lines longer than this are refused and their connection closed.
inline constexpr std::size_t kMaxLineBytes = 64 * 1024;
inline constexpr std::string_view kTooLong = "Request too long";
// Sent before the helper closes a connection that made no request for a while.
inline constexpr std::string_view kIdle = "Idle connection closed";

// The greeting line: the helper's name and the protocol's version. It is an
// array, not an object, so that a client that does not wait for it (and so is
// refused) can never take it for the reply to its request.
std::string greeting();
// Returns true when `line` is a greeting of this helper, of any version.
bool isGreeting(std::string_view line);

// Returns the request as one line of JSON, without the newline.
std::string encodeRequest(const HelperRequest& request);
// Reads one request line; the error is the reason to send back ("Not a JSON
// request", "Unknown call" or "Bad request: ...").
Result<HelperRequest, std::string> decodeRequest(std::string_view line);

// Returns the reply line for `reply` as the given call answers it, without the newline.
std::string encodeReply(HelperCall call, const HelperReply& reply);
// Returns an error reply line (also used for requests that cannot be read).
std::string encodeError(std::string_view message);
// Reads one reply line; nullopt when it is not a JSON object of the reply's shape.
[[nodiscard]] std::optional<HelperReply> decodeReply(std::string_view line);

// Decodes one request line, hands it to `helper` and returns the reply line.
// Every reply the calls make is sent before they return.
std::string dispatch(ProxyHelperXPC& helper, std::string_view line);

}  // namespace HelperProtocol
}  // namespace kelvane
