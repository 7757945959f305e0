#pragma once
// NetEndpoint: one end of a connection as the network statistics tool prints
// it: a host and a port, the port absent where the tool printed "*".
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane {

struct NetEndpoint {
  std::string host;
  std::optional<uint16_t> port;  // Absent for "*".
  bool operator==(const NetEndpoint&) const = default;

  // Reads "host:port", or "host.port" when `v6` (the tool prints IPv6 ports
  // after a dot). A port of "*" or nothing is absent. nullopt when there is no
  // separator or the port is not a decimal number that fits 16 bits.
  [[nodiscard]] static std::optional<NetEndpoint> parse(std::string_view text, bool v6);

  // Returns "host:port", "*" for an absent port, and an IPv6 host in brackets:
  // "[fe80::1]:443".
  std::string text() const;
  // Tells whether the host is a loopback address: "127.x", "::1", an
  // IPv4-mapped "::ffff:127.x", or any host scoped to "%lo0".
  bool isLoopback() const;
};

}  // namespace kelvane

template <>
struct std::hash<kelvane::NetEndpoint> {
  size_t operator()(const kelvane::NetEndpoint& endpoint) const noexcept;
};
