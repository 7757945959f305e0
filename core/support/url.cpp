#include "core/support/url.h"

#include <algorithm>
#include <charconv>

#include <uriparser/Uri.h>

namespace kelvane {
namespace {

std::string_view range(const UriTextRangeA& r) {
  if (!r.first || !r.afterLast) return {};
  return std::string_view(r.first, static_cast<size_t>(r.afterLast - r.first));
}

// Owns a parsed uriparser record for the span of one call.
class ParsedUri {
 public:
  explicit ParsedUri(std::string_view text) {
    const char* error = nullptr;
    ok_ =
        uriParseSingleUriExA(&uri_, text.data(), text.data() + text.size(), &error) == URI_SUCCESS;
  }
  ~ParsedUri() { uriFreeUriMembersA(&uri_); }
  ParsedUri(const ParsedUri&) = delete;
  ParsedUri& operator=(const ParsedUri&) = delete;
  bool ok() const { return ok_; }
  const UriUriA& uri() const { return uri_; }

 private:
  UriUriA uri_{};
  bool ok_ = false;
};

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::optional<Url> Url::parse(std::string_view text) {
  // uriparser reads up to the end pointer; an empty text is a valid empty reference.
  const ParsedUri parsed(text);
  if (!parsed.ok()) return std::nullopt;
  const UriUriA& uri = parsed.uri();
  Url url;
  url.scheme = std::string(range(uri.scheme));
  if (uri.userInfo.first) url.user = std::string(range(uri.userInfo));
  if (const auto host = range(uri.hostText); !host.empty()) url.host = std::string(host);
  if (uri.portText.first) {
    const auto port = range(uri.portText);
    if (!port.empty()) {
      unsigned value = 0;
      const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
      if (ec != std::errc() || end != port.data() + port.size() || value > 65535)
        return std::nullopt;
      url.port = static_cast<uint16_t>(value);
    }
  }
  // The path, read from the text: what follows the scheme and the authority,
  // up to the query or fragment (the reference is known to be valid here).
  std::string_view rest = text;
  if (!url.scheme.empty()) rest.remove_prefix(url.scheme.size() + 1);
  if (rest.starts_with("//")) {
    rest.remove_prefix(std::min(rest.size(), rest.find_first_of("/?#", 2)));
  }
  url.path = std::string(rest.substr(0, rest.find_first_of("?#")));
  if (uri.query.first) url.query = std::string(range(uri.query));
  if (uri.fragment.first) url.fragment = std::string(range(uri.fragment));
  return url;
}

std::string Url::pathAndQuery() const {
  std::string out = path.empty() ? "/" : path;
  if (query) out += "?" + *query;
  return out;
}

std::string percentDecode(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && hexValue(text[i + 1]) >= 0 &&
        hexValue(text[i + 2]) >= 0) {
      out += static_cast<char>(hexValue(text[i + 1]) * 16 + hexValue(text[i + 2]));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::vector<QueryItem> queryItems(std::string_view query) {
  std::vector<QueryItem> items;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    if (piece.empty()) continue;
    const size_t eq = piece.find('=');
    if (eq == std::string_view::npos) {
      items.push_back({percentDecode(piece), std::nullopt});
    } else {
      items.push_back({percentDecode(piece.substr(0, eq)), percentDecode(piece.substr(eq + 1))});
    }
  }
  return items;
}

}  // namespace kelvane
