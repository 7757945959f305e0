#include "core/proxy/proxy_rules.h"

#include <algorithm>
#include <arpa/inet.h>

#include <nlohmann/json.hpp>

#include "core/support/text.h"

namespace kelvane {
namespace {

std::string normal(std::string_view text) {
  std::string out = Text::asciiLowercased(text);
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
  const std::string p = normal(Text::trimmed(pattern));
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
