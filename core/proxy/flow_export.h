#pragma once
// Exports of captured flows: a HAR archive, a curl command line, a JavaScript
// fetch call, and the shell exports that route a terminal through the local
// proxy. Pure functions producing text or bytes.
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "core/proxy/flow.h"

namespace kelvane {

namespace HAR {
// Returns a HAR 1.2 document (pretty-printed, sorted keys) with one entry per
// flow in the given order; tunnels and flows without a request are left out.
// Dates are kept within the years 0001 to 9999 and times are never negative.
// Empty bytes when the document cannot be written.
std::vector<uint8_t> exportFlows(const std::vector<Flow>& flows, std::string_view version);

// Writes the same document to a stream one entry at a time, so that only one
// entry is held in memory at once. `out` must outlive the writer.
class Writer final {
 public:
  // Writes the head of the document.
  Writer(std::ostream& out, std::string_view version);
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;
  // Writes the flow's entry; tunnels and flows without a request are skipped.
  void add(const Flow& flow);
  // Writes the end of the document; false when an entry or the stream failed.
  [[nodiscard]] bool finish();

 private:
  std::ostream& out_;
  bool empty_ = true;
  bool failed_ = false;
};
}  // namespace HAR

namespace Curl {
// Returns a shell command that replays the request with curl; a binary body,
// or a text body over 64 KiB, is piped in from `printf %s '<base64>' | base64
// -d`. Without a request, "curl" and the quoted URL. A request no command
// line can carry (see cannotCarry) gives a shell comment that says why.
std::string command(const Flow& flow);
// Says why the request cannot be replayed from a command line: a NUL byte in
// its method, address or a header, or parts longer than the system passes to
// a program; nullopt when it can.
std::optional<std::string> cannotCarry(const Flow& flow);
// Wraps the text in single quotes, each inner ' written as '\''.
std::string quote(std::string_view text);
}  // namespace Curl

namespace Fetch {
// Returns a JavaScript fetch call that replays the request (headers, body,
// referrer, method, credentials); without a request, a bare fetch of the URL.
std::string command(const Flow& flow);
// Returns the text as a JSON string literal, slashes not escaped; bytes that
// are not UTF-8 become U+FFFD.
std::string json(std::string_view text);
}  // namespace Fetch

namespace ProxyEnv {
// Returns one "export ..." line that points HTTP(S)_PROXY at 127.0.0.1:port
// and makes Node, OpenSSL, Python requests and curl trust the given files.
std::string exports(int64_t port, std::string_view caPath, std::string_view bundlePath);
}  // namespace ProxyEnv

}  // namespace kelvane
