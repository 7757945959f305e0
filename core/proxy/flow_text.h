#pragma once
// FlowText: turns captured HTTP traffic into text for the inspector: query
// parameters, cookies, the content type, raw request and response text, a
// body classification and a hex dump. Pure functions.
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/proxy/proxy_event.h"

namespace kelvane {

enum class BodyKind { json, image, text, binary, empty };

namespace FlowText {

using NameValue = std::pair<std::string, std::string>;

// Returns the URL's query items, decoded, in order (a name without "=" gets
// an empty value); empty when the URL does not parse or has no query.
std::vector<NameValue> query(std::string_view url);
// Returns the cookies of the "Cookie" headers (every piece), or with
// `response` of the "Set-Cookie" headers (only the name=value before the
// attributes). Pieces without "=" or with an empty name are skipped.
std::vector<NameValue> cookies(const std::vector<ProxyHeader>& headers, bool response);
// Returns the value of the first Content-Type header (any case); nullopt without one.
std::optional<std::string> contentType(const std::vector<ProxyHeader>& headers);
// Renders the request as sent: request line, a host line when no Host header
// exists, the headers except HTTP/2 pseudo-headers, a blank line and the body
// ("<N bytes>" when the body is not UTF-8 text).
std::string raw(const ProxyRequest& request);
// Renders the response: status line, every header, a blank line and the body
// as for a request.
std::string raw(const ProxyResponse& response);
// Classifies a body by its content type and content; no content type counts
// as an empty one.
BodyKind kind(std::span<const uint8_t> body, std::optional<std::string_view> contentType);
// Dumps the first `limit` bytes as rows of 16: offset, hex column padded to 47
// characters, printable ASCII. Rows are joined with "\n"; a negative limit dumps nothing.
std::string hexDump(std::span<const uint8_t> data, int64_t limit);
// Returns the bytes as text when they are valid UTF-8, else nullopt.
std::optional<std::string> utf8(std::span<const uint8_t> bytes);

}  // namespace FlowText

}  // namespace kelvane
