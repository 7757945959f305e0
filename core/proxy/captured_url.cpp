#include "core/proxy/captured_url.h"

#include <cctype>

namespace kelvane::CapturedUrl {
namespace {

bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

// Characters RFC 3986 allows in a path segment besides "/": unreserved,
// sub-delimiters, ":" and "@". A query and a fragment also allow "/" and "?".
bool allowed(char c, std::string_view extra) {
  const auto u = static_cast<unsigned char>(c);
  return (u < 0x80 && std::isalnum(u)) ||
         std::string_view("-._~!$&'()*+,;=:@").find(c) != std::string_view::npos ||
         extra.find(c) != std::string_view::npos;
}

// Percent-encodes every byte not allowed in the part; a "%" already followed
// by two hex digits stays an escape.
std::string encoded(std::string_view part, std::string_view extra) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(part.size());
  for (size_t i = 0; i < part.size(); ++i) {
    const char c = part[i];
    const bool escape = c == '%' && i + 2 < part.size() && isHex(part[i + 1]) && isHex(part[i + 2]);
    if (escape || allowed(c, extra)) {
      out += c;
    } else {
      const auto u = static_cast<unsigned char>(c);
      out += '%';
      out += kHex[u >> 4];
      out += kHex[u & 15];
    }
  }
  return out;
}

// A scheme: a letter, then letters, digits, "+", "-" and ".".
size_t schemeLength(std::string_view text) {
  if (text.empty() || !std::isalpha(static_cast<unsigned char>(text[0]))) return 0;
  size_t i = 1;
  while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '+' ||
                             text[i] == '-' || text[i] == '.'))
    ++i;
  return i;
}

// Browsers drop leading and trailing spaces and controls, and every tab and
// line break inside.
std::string cleaned(std::string_view text) {
  const auto blank = [](char c) { return static_cast<unsigned char>(c) <= 0x20; };
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  std::string out;
  out.reserve(text.size());
  for (const char c : text)
    if (c != '\t' && c != '\n' && c != '\r') out += c;
  return out;
}

// The text with its user, path, query and fragment encoded; nullopt unless it
// starts with a scheme and "//".
std::optional<std::string> lenientForm(std::string_view captured) {
  const std::string text = cleaned(captured);
  const std::string_view view(text);
  const size_t scheme = schemeLength(view);
  if (scheme == 0 || view.substr(scheme, 3) != "://") return std::nullopt;
  const size_t authorityStart = scheme + 3;
  const size_t authorityEnd = std::min(view.find_first_of("/?#", authorityStart), view.size());
  std::string_view authority = view.substr(authorityStart, authorityEnd - authorityStart);
  std::string out(view.substr(0, authorityStart));
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
    out += encoded(authority.substr(0, at), "") + "@";
    authority.remove_prefix(at + 1);
  }
  out += authority;  // A host that RFC 3986 refuses stays refused.
  std::string_view rest = view.substr(authorityEnd);
  const size_t hash = std::min(rest.find('#'), rest.size());
  const std::string_view fragment = rest.substr(hash);
  rest = rest.substr(0, hash);
  const size_t question = std::min(rest.find('?'), rest.size());
  out += encoded(rest.substr(0, question), "/");
  if (question < rest.size()) out += "?" + encoded(rest.substr(question + 1), "/?");
  if (!fragment.empty()) out += "#" + encoded(fragment.substr(1), "/?");
  return out;
}

}  // namespace

std::optional<Url> parse(std::string_view text) {
  if (auto url = Url::parse(text)) return url;
  const auto lenient = lenientForm(text);
  return lenient ? Url::parse(*lenient) : std::nullopt;
}

std::string normalized(std::string_view text) {
  if (Url::parse(text)) return std::string(text);
  const auto lenient = lenientForm(text);
  return lenient && Url::parse(*lenient) ? *lenient : std::string(text);
}

}  // namespace kelvane::CapturedUrl
