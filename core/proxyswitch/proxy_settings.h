#pragma once
// ProxySettings: pure transformations over proxy configurations (switching a
// service to our loopback proxy, turning it off, restoring the user's set) and
// the binary property-list coding of the saved copy.
#include <array>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/proxyswitch/plist_value.h"

namespace kelvane::ProxySettings {

// The hosts that bypass our proxy, in this order.
inline constexpr std::array<const char*, 4> exceptions = {"localhost", "127.0.0.1", "*.local",
                                                          "169.254/16"};
// The only proxy address the switch accepts: this host and a port in the range.
inline constexpr std::string_view kLoopbackHost = "127.0.0.1";
inline constexpr int64_t kFirstLoopbackPort = 9091;
inline constexpr int64_t kLastLoopbackPort = 9111;

// Returns true when host:port lies in the loopback proxy range.
bool isLoopbackProxy(std::string_view host, int64_t port);

// Returns the set as a binary property list; nullopt when a value cannot be
// written (text with a NUL byte, a date out of range).
[[nodiscard]] std::optional<std::vector<uint8_t>> encode(const SettingsSet& settings);
// Parses a property list (binary or XML); nullopt when it does not parse or its
// root is not a dictionary of dictionaries.
[[nodiscard]] std::optional<SettingsSet> decode(const std::vector<uint8_t>& bytes);

// Turns off the HTTP and HTTPS sides that point into the loopback proxy range;
// keys of any other type or value leave their side untouched.
ServiceConfig disablingLoopback(ServiceConfig config);
// Points both sides at host:port and replaces the exception list with ours;
// every other key is kept.
ServiceConfig applying(ServiceConfig config, std::string_view host, int64_t port);
// Returns `saved` plus the services of `current` it lacks; saved wins on a shared ID.
SettingsSet merging(const SettingsSet& saved, const SettingsSet& current);
// Returns, for each service of `current`, its saved configuration, or its
// current one with our proxy turned off when none was saved. Services that
// exist only in `saved` are dropped.
SettingsSet restoring(const SettingsSet& saved, const SettingsSet& current);
// Returns true only when both sides are on and point at host:port; a missing or
// mistyped key gives false. The exception list is not compared.
bool isOurs(const ServiceConfig& config, std::string_view host, int64_t port);

// Returns `settings` with every configuration passed through `disablingLoopback`.
SettingsSet disablingLoopbackEverywhere(SettingsSet settings);

}  // namespace kelvane::ProxySettings
