#include "core/proxy/proxy_rules.h"

#include <algorithm>
#include <arpa/inet.h>
#include <array>

#include <nlohmann/json.hpp>

namespace kelvane {
namespace {

// Unicode white space as UTF-8, besides the ASCII ones: NEL, NBSP, OGHAM
// SPACE MARK, the spaces U+2000..U+200A, LINE and PARAGRAPH SEPARATOR, NNBSP,
// MMSP and IDEOGRAPHIC SPACE.
size_t whitespaceAt(std::string_view s, size_t i, bool fromEnd) {
  static constexpr std::array<std::string_view, 19> kWide{
      "\xC2\x85",     "\xC2\xA0",     "\xE1\x9A\x80", "\xE2\x80\x80", "\xE2\x80\x81",
      "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85", "\xE2\x80\x86",
      "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xA8",
      "\xE2\x80\xA9", "\xE2\x80\xAF", "\xE2\x81\x9F", "\xE3\x80\x80"};
  const char c = fromEnd ? s[i - 1] : s[i];
  if (c == ' ' || (c >= '\t' && c <= '\r')) return 1;
  const std::string_view rest = fromEnd ? s.substr(0, i) : s.substr(i);
  for (const auto w : kWide)
    if (fromEnd ? rest.ends_with(w) : rest.starts_with(w)) return w.size();
  return 0;
}

std::string_view trimmed(std::string_view s) {
  size_t start = 0, end = s.size();
  while (start < end)
    if (const size_t n = whitespaceAt(s, start, false))
      start += n;
    else
      break;
  while (end > start)
    if (const size_t n = whitespaceAt(s, end, true))
      end -= n;
    else
      break;
  return s.substr(start, end - start);
}

std::string normal(std::string_view text) {
  std::string out(text);
  for (auto& c : out)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  while (!out.empty() && out.back() == '.') out.pop_back();
  if (out.size() >= 2 && out.front() == '[' && out.back() == ']')
    out = out.substr(1, out.size() - 2);
  return out;
}

bool isAddress(const std::string& host) {
  unsigned char buffer[16];
  return inet_pton(AF_INET, host.c_str(), buffer) == 1 ||
         inet_pton(AF_INET6, host.c_str(), buffer) == 1;
}

std::string list(const std::vector<std::string>& items) {
  std::string out = "[";
  for (size_t i = 0; i < items.size(); ++i) out += (i ? ", \"" : "\"") + items[i] + "\"";
  return out + "]";
}

}  // namespace

bool ProxyRules::matches(std::string_view pattern, std::string_view host) {
  const std::string p = normal(trimmed(pattern));
  const std::string h = normal(host);
  // A NUL would cut the address short for inet_pton; such a text is a name.
  if (h.find('\0') == std::string::npos && isAddress(h)) return p == h;
  if (p.starts_with("*.")) {
    const std::string_view base = std::string_view(p).substr(2);
    return h == base ||
           (h.size() > base.size() && h.ends_with(base) && h[h.size() - base.size() - 1] == '.');
  }
  return p == h;
}

bool ProxyRules::decrypts(std::string_view host) const {
  const auto matching = [host](const std::string& pattern) { return matches(pattern, host); };
  if (std::any_of(never.begin(), never.end(), matching)) return false;
  return std::any_of(hosts.begin(), hosts.end(), matching);
}

std::string ProxyRules::description() const {
  return "ProxyRules(hosts: " + list(hosts) + ", never: " + list(never) + ")";
}

void to_json(nlohmann::json& j, const ProxyRules& rules) {
  j = {{"hosts", rules.hosts}, {"never", rules.never}};
}

void from_json(const nlohmann::json& j, ProxyRules& rules) {
  j.at("hosts").get_to(rules.hosts);
  j.at("never").get_to(rules.never);
}

}  // namespace kelvane
