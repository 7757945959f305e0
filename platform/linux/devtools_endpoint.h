#pragma once
// Where a browser's DevTools endpoint is, and whether it may be used: only on
// the loopback address, only a port the user's own browser process listens on.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "core/model/proc.h"
#include "platform/linux/browser_identity.h"

namespace kelvane {

// A browser's DevTools endpoint on 127.0.0.1.
struct DevToolsEndpoint {
  uint16_t port = 0;
  std::optional<std::string> browserPath;  // The browser's WebSocket path, when known.
  bool operator==(const DevToolsEndpoint&) const = default;
};

namespace DevToolsEndpoints {

// The file a browser writes into its user-data folder while its endpoint is on.
inline constexpr std::string_view kActivePortFile = "DevToolsActivePort";

// Reads a DevToolsActivePort file: the port on the first line, the browser's
// WebSocket path on the second. nullopt unless the port is a number in
// 1…65535; a second line that is not a plain "/devtools/browser/…" path is left
// out (the path is then asked of the endpoint).
std::optional<DevToolsEndpoint> parseActivePort(std::string_view text);

// Returns the browser's user-data folder: its --user-data-dir switch (a
// relative one taken from its working folder `cwd`), else `browser`'s default
// folder under `configHome`. nullopt for a relative switch without `cwd`.
std::optional<std::filesystem::path> userDataDir(const std::vector<std::string>& args,
                                                 const std::optional<std::string>& cwd,
                                                 const ChromiumBrowser& browser,
                                                 const std::filesystem::path& configHome);

// Says why `port` may not be used to reach the browser whose process is
// `browser`, or nullopt when it may: the process must be `me`'s and must
// itself listen on the port, on loopback only.
std::optional<std::string> refusal(uint16_t port, const Proc& browser, uint32_t me);

// Returns the path of the browser's WebSocket that a /json/version answer
// names, when that address is 127.0.0.1 or localhost at `port`; nullopt for
// any other host or port, a missing or odd address.
std::optional<std::string> browserPathFromVersion(const nlohmann::json& version, uint16_t port);

}  // namespace DevToolsEndpoints
}  // namespace kelvane
