#pragma once
// EngineCommand: the commands the application writes to the local proxy
// engine, one JSON object per line on its input.
#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "core/proxy/proxy_rules.h"

namespace kelvane {

struct EngineCommand {
  struct Start {
    int64_t port = 0;
    std::optional<std::string> caCertPEM;
    std::optional<std::string> caKeyPEM;  // Never shown in descriptions.
    ProxyRules rules;
    std::optional<std::string> lan;
    bool operator==(const Start&) const = default;
  };
  struct Lan {
    std::optional<std::string> address;  // The address to listen on; none stops listening.
    bool operator==(const Lan&) const = default;
  };
  struct Devices {
    std::vector<std::string> allowed;  // IP addresses of devices allowed to use the proxy.
    bool operator==(const Devices&) const = default;
  };
  struct Stop {
    bool operator==(const Stop&) const = default;
  };
  using Value = std::variant<Start, ProxyRules, Lan, Devices, Stop>;

  Value value;
  bool operator==(const EngineCommand&) const = default;

  // Returns the command as one compact JSON object with sorted keys and a
  // newline; absent texts are null. Only the newline when a text is not UTF-8.
  std::vector<uint8_t> line() const;
  // Renders the command for logs, e.g. "lan(nil)" or "stop"; the CA key of
  // `start` always shows as "<hidden>".
  std::string description() const;
};

}  // namespace kelvane
