#pragma once
// Url: RFC 3986 addresses (absolute or relative references), split into the
// parts the rules read. Parts stay percent-encoded as written, except `host`.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

struct QueryItem {
  std::string name;                  // Percent-decoded.
  std::optional<std::string> value;  // Percent-decoded; absent for "name" without "=".
  bool operator==(const QueryItem&) const = default;
};

struct Url {
  std::string scheme;               // As written; empty for a relative reference.
  std::optional<std::string> user;  // The user-information part before "@", as written.
  std::optional<std::string>
      host;  // Absent when there is none or it is empty; IPv6 without brackets.
  std::optional<uint16_t> port;
  std::string path;                     // Percent-encoded, as written ("" when empty).
  std::optional<std::string> query;     // Without the "?", percent-encoded.
  std::optional<std::string> fragment;  // Without the "#".
  bool operator==(const Url&) const = default;

  // Parses an address or relative reference; nullopt when it breaks RFC 3986
  // (spaces, bad percent escapes, a port that is not a number below 65536).
  [[nodiscard]] static std::optional<Url> parse(std::string_view text);
  // The path and query as sent in a request line ("/" when the path is empty).
  std::string pathAndQuery() const;
};

// Decodes %XX escapes; a "%" not followed by two hex digits is kept as it is.
std::string percentDecode(std::string_view text);
// Splits a query ("a=1&b&c=%20") at "&" and the first "="; empty pieces are skipped.
std::vector<QueryItem> queryItems(std::string_view query);

}  // namespace kelvane
