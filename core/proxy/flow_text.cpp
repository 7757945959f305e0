#include "core/proxy/flow_text.h"

#include <algorithm>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "core/proxy/captured_url.h"
#include "core/support/text.h"

namespace kelvane::FlowText {
namespace {

std::string_view trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

std::vector<std::string_view> pieces(std::string_view text, char separator) {
  std::vector<std::string_view> out;
  while (!text.empty()) {
    const size_t end = std::min(text.find(separator), text.size());
    if (end > 0) out.push_back(text.substr(0, end));
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return out;
}

std::string bodyText(std::span<const uint8_t> body, int64_t bodyLength) {
  if (auto text = utf8(body)) return std::move(*text);
  std::string placeholder = "<";
  placeholder += std::to_string(bodyLength);
  return placeholder + " bytes>";
}

std::string joined(const std::vector<std::string>& lines) {
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) out += (i ? "\n" : "") + lines[i];
  return out;
}

}  // namespace

std::optional<std::string> utf8(std::span<const uint8_t> bytes) {
  std::string text(bytes.begin(), bytes.end());
  if (!Text::isValidUtf8(text)) return std::nullopt;
  return text;
}

std::vector<NameValue> query(std::string_view url) {
  const auto parsed = CapturedUrl::parse(url);
  if (!parsed || !parsed->query) return {};
  std::vector<NameValue> out;
  for (auto& item : queryItems(*parsed->query))
    out.emplace_back(std::move(item.name), item.value.value_or(""));
  return out;
}

std::vector<NameValue> cookies(const std::vector<ProxyHeader>& headers, bool response) {
  const std::string_view wanted = response ? "set-cookie" : "cookie";
  std::vector<NameValue> out;
  for (const auto& header : headers) {
    if (!Text::equalsIgnoringASCIICase(header.name, wanted)) continue;
    auto parts = pieces(header.value, ';');
    if (response && parts.size() > 1) parts.resize(1);  // Attributes are not cookies.
    for (const auto piece : parts) {
      const size_t eq = piece.find('=');
      if (eq == std::string_view::npos) continue;
      const auto name = trimmed(piece.substr(0, eq));
      if (!name.empty()) out.emplace_back(name, trimmed(piece.substr(eq + 1)));
    }
  }
  return out;
}

std::optional<std::string> contentType(const std::vector<ProxyHeader>& headers) {
  for (const auto& header : headers)
    if (Text::equalsIgnoringASCIICase(header.name, "content-type")) return header.value;
  return std::nullopt;
}

std::string raw(const ProxyRequest& request) {
  const auto url = CapturedUrl::parse(request.url);
  std::string target = url ? url->path : "/";
  if (url && url->query) target += "?" + *url->query;
  if (target.empty()) target = "/";
  std::vector<std::string> lines{request.method + " " + target + " " + request.version};
  const bool hasHost = std::any_of(
      request.headers.begin(), request.headers.end(),
      [](const ProxyHeader& h) { return Text::equalsIgnoringASCIICase(h.name, "host"); });
  if (!hasHost) lines.push_back("host: " + (url && url->host ? *url->host : ""));
  for (const auto& h : request.headers)
    if (!h.name.starts_with(":")) lines.push_back(h.name + ": " + h.value);
  return joined(lines) + "\n\n" + bodyText(request.body, request.bodyLength);
}

std::string raw(const ProxyResponse& response) {
  std::vector<std::string> lines{response.version + " " + std::to_string(response.status)};
  for (const auto& h : response.headers) lines.push_back(h.name + ": " + h.value);
  return joined(lines) + "\n\n" + bodyText(response.body, response.bodyLength);
}

BodyKind kind(std::span<const uint8_t> body, std::optional<std::string_view> contentType) {
  if (body.empty()) return BodyKind::empty;
  const std::string type = Text::asciiLowercased(contentType.value_or(""));
  if (type.starts_with("image/")) return BodyKind::image;
  if (type.find("json") != std::string::npos) return BodyKind::json;
  // Leading whitespace is not skipped: only a body that starts with the bracket counts.
  if ((body[0] == '[' || body[0] == '{') && nlohmann::json::accept(body.begin(), body.end()))
    return BodyKind::json;
  return utf8(body) ? BodyKind::text : BodyKind::binary;
}

std::string hexDump(std::span<const uint8_t> data, int64_t limit) {
  const size_t n = size_t(std::clamp<int64_t>(limit, 0, int64_t(data.size())));
  std::vector<std::string> lines;
  for (size_t row = 0; row < n; row += 16) {
    char offset[24];
    std::snprintf(offset, sizeof offset, "%08zx  ", row);
    std::string hex, text;
    for (size_t i = row; i < std::min(row + 16, n); ++i) {
      char byte[4];
      std::snprintf(byte, sizeof byte, "%02x", data[i]);
      if (i > row) hex += ' ';
      hex += byte;
      text += data[i] >= 0x20 && data[i] <= 0x7E ? char(data[i]) : '.';
    }
    hex.resize(std::max<size_t>(hex.size(), 47), ' ');
    lines.push_back(std::string(offset) + hex + "  " + text);
  }
  return joined(lines);
}

}  // namespace kelvane::FlowText
