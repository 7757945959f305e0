#include "core/net/net_endpoint.h"

#include <charconv>

#include "core/support/hashing.h"

namespace kelvane {

std::optional<NetEndpoint> NetEndpoint::parse(std::string_view text, bool v6) {
  const size_t sep = text.rfind(v6 ? '.' : ':');
  if (sep == std::string_view::npos) return std::nullopt;
  NetEndpoint endpoint{std::string(text.substr(0, sep)), std::nullopt};
  const std::string_view port = text.substr(sep + 1);
  if (port.empty() || port == "*") return endpoint;
  uint16_t value = 0;
  const auto [end, ec] = std::from_chars(port.data(), port.data() + port.size(), value);
  if (ec != std::errc() || end != port.data() + port.size()) return std::nullopt;
  endpoint.port = value;
  return endpoint;
}

std::string NetEndpoint::text() const {
  const std::string shownHost = host.find(':') != std::string::npos ? "[" + host + "]" : host;
  return shownHost + ":" + (port ? std::to_string(*port) : "*");
}

bool NetEndpoint::isLoopback() const {
  return host.starts_with("127.") || host == "::1" || host.starts_with("::ffff:127.") ||
         host.ends_with("%lo0");
}

}  // namespace kelvane

size_t std::hash<kelvane::NetEndpoint>::operator()(
    const kelvane::NetEndpoint& endpoint) const noexcept {
  return kelvane::hashValues(endpoint.host, endpoint.port);
}
