#pragma once
// The agent's control protocol: one JSON object per line each way. A request
// names its operation in "op"; its reply carries "ok" and, when that is false,
// an "error" text. Framing and parsing only; what the operations do is
// control_ops.h, the socket control_server.h and control_client.h.
#include <cstddef>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "core/support/result.h"

namespace kelvane::Control {

// The longest request line the agent reads; a longer one gets an error reply
// and is skipped up to its end, so a client cannot make the agent grow.
inline constexpr size_t kMaxRequestBytes = 64 * 1024;
// The longest reply line a client reads (a state with a month of closed tabs
// stays far below it).
inline constexpr size_t kMaxReplyBytes = size_t{64} << 20;

// One request: its operation and the whole object, arguments included.
struct Request {
  std::string op;
  nlohmann::json body;
};

// Takes the reply to one request.
using Reply = std::function<void(nlohmann::json)>;

// Reads one request line. Fails with the text the error reply carries: "not
// JSON", "not a JSON object", "no \"op\" text".
[[nodiscard]] Result<Request, std::string> parseRequest(std::string_view line);

// {"ok": true} merged with `fields` (an object; anything else is left out).
nlohmann::json okReply(nlohmann::json fields = nlohmann::json::object());
// {"ok": false, "error": message}.
nlohmann::json errorReply(std::string_view message);
// The line a value goes out as: compact JSON, text that is not UTF-8 replaced,
// and a line feed.
std::string line(const nlohmann::json& value);

// Splits a byte stream into lines of at most `maxBytes` (the line feed not
// counted). A longer line comes out once as nullopt and is dropped up to its
// line feed; what is held back never exceeds `maxBytes`.
class LineReader final {
 public:
  explicit LineReader(size_t maxBytes) : maxBytes_(maxBytes) {}
  // Adds bytes; returns the lines they complete, in order.
  std::vector<std::optional<std::string>> feed(std::string_view bytes);

 private:
  size_t maxBytes_;
  std::string pending_;
  bool skipping_ = false;  // Inside a line already reported as too long.
};

// Where the agent of the support folder `folder` listens: a socket in the
// user's runtime folder named after the folder, so that agents of two support
// folders never meet. `runtimeDir` is $XDG_RUNTIME_DIR; when it is empty,
// /run/user/<uid> if that is a folder of the user. nullopt when there is
// neither or the path would not fit a socket address.
[[nodiscard]] std::optional<std::string> socketPath(std::string_view runtimeDir,
                                                    const std::filesystem::path& folder, uid_t uid);

}  // namespace kelvane::Control
