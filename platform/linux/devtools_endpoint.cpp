#include "platform/linux/devtools_endpoint.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include <nlohmann/json.hpp>

#include "core/support/text.h"

namespace kelvane::DevToolsEndpoints {
namespace {

constexpr std::string_view kBrowserPathPrefix = "/devtools/browser/";

std::optional<uint16_t> parsePort(std::string_view text) {
  unsigned value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0 || value > 65535)
    return std::nullopt;
  return static_cast<uint16_t>(value);
}

bool isBrowserPath(std::string_view path) {
  if (!path.starts_with(kBrowserPathPrefix) || path.size() == kBrowserPathPrefix.size())
    return false;
  path.remove_prefix(kBrowserPathPrefix.size());
  return std::all_of(path.begin(), path.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '-';
  });
}

bool contains(const std::vector<uint16_t>& ports, uint16_t port) {
  return std::find(ports.begin(), ports.end(), port) != ports.end();
}

}  // namespace

std::optional<DevToolsEndpoint> parseActivePort(std::string_view text) {
  const auto lines = Text::split(text, '\n');
  const auto port = parsePort(Text::trimmed(lines.front()));
  if (!port) return std::nullopt;
  DevToolsEndpoint endpoint{.port = *port};
  if (lines.size() > 1) {
    const std::string_view path = Text::trimmed(lines[1]);
    if (isBrowserPath(path)) endpoint.browserPath = std::string(path);
  }
  return endpoint;
}

std::optional<std::filesystem::path> userDataDir(const std::vector<std::string>& args,
                                                 const std::optional<std::string>& cwd,
                                                 const ChromiumBrowser& browser,
                                                 const std::filesystem::path& configHome) {
  constexpr std::string_view kSwitch = "--user-data-dir=";
  // The browser reads the last of repeated switches.
  const auto it = std::find_if(args.rbegin(), args.rend(),
                               [&](const std::string& arg) { return arg.starts_with(kSwitch); });
  if (it == args.rend() || it->size() == kSwitch.size()) return configHome / browser.configFolder;
  const std::filesystem::path dir(it->substr(kSwitch.size()));
  if (dir.is_absolute()) return dir;
  if (!cwd || cwd->empty()) return std::nullopt;
  return std::filesystem::path(*cwd) / dir;
}

std::optional<std::string> refusal(uint16_t port, const Proc& browser, uint32_t me) {
  if (browser.uid != me) return "the browser belongs to another user";
  if (!contains(browser.listenPorts, port))
    return "port " + std::to_string(port) + " is not the browser's";
  if (browser.exposedPorts && contains(*browser.exposedPorts, port))
    return "the endpoint listens beyond this machine";
  return std::nullopt;
}

std::optional<std::string> browserPathFromVersion(const nlohmann::json& version, uint16_t port) {
  const auto url = version.is_object() ? version.find("webSocketDebuggerUrl") : version.end();
  if (url == version.end() || !url->is_string()) return std::nullopt;
  const std::string_view text = url->get_ref<const std::string&>();
  const std::string suffix = ":" + std::to_string(port);
  for (const std::string_view host : {"ws://127.0.0.1", "ws://localhost"}) {
    const std::string authority = std::string(host) + suffix;
    if (!text.starts_with(authority)) continue;
    const std::string_view path = text.substr(authority.size());
    if (isBrowserPath(path)) return std::string(path);
  }
  return std::nullopt;
}

}  // namespace kelvane::DevToolsEndpoints
