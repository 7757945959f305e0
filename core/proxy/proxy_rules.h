#pragma once
// ProxyRules: which hosts the local proxy engine decrypts and which it must
// never decrypt. A pattern is a host name, an IPv4 or IPv6 address (brackets
// optional), or "*." and a domain (the domain and every name below it).
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace kelvane {

struct ProxyRules {
  std::vector<std::string> hosts;  // Patterns whose TLS traffic is decrypted.
  std::vector<std::string> never;  // Patterns never decrypted; they win over `hosts`.
  bool operator==(const ProxyRules&) const = default;

  // Returns true when a pattern of `hosts` and none of `never` matches; false
  // whenever `hosts` is empty.
  bool decrypts(std::string_view host) const;
  // Returns true when the pattern covers the host, both compared without case
  // (ASCII), trailing dots or brackets. Addresses match only exactly.
  static bool matches(std::string_view pattern, std::string_view host);
  // Renders the rules for logs: ProxyRules(hosts: ["a"], never: []).
  std::string description() const;
};

// JSON coding with the required keys "hosts" and "never"; from_json throws
// nlohmann::json::exception when either is missing or not a list of strings.
void to_json(nlohmann::json& j, const ProxyRules& rules);
void from_json(const nlohmann::json& j, ProxyRules& rules);

}  // namespace kelvane
