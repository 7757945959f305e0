#include "core/net/docker_ports.h"

#include <charconv>
#include <optional>

#include "core/support/text.h"

namespace kelvane::DockerPorts {
namespace {

using Text::split;

// The host port of one mapping: "0.0.0.0:5432->5432/tcp" and ":::5432->5432/tcp"
// give 5432; "80/tcp" is not published.
std::optional<uint16_t> hostPort(std::string_view mapping) {
  const size_t arrow = mapping.find("->");
  if (arrow == std::string_view::npos) return std::nullopt;
  std::string_view host = mapping.substr(0, arrow);
  if (const size_t colon = host.rfind(':'); colon != std::string_view::npos)
    host.remove_prefix(colon + 1);
  host = Text::trimmed(host);
  uint16_t port = 0;
  const auto [end, ec] = std::from_chars(host.data(), host.data() + host.size(), port);
  if (host.empty() || ec != std::errc() || end != host.data() + host.size()) return std::nullopt;
  return port;
}

}  // namespace

std::map<uint16_t, std::string> parse(std::string_view raw) {
  const std::string text = Text::validUtf8(raw);
  std::map<uint16_t, std::string> ports;
  for (auto line : split(text, '\n')) {
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (line.empty()) continue;
    const auto fields = split(line, '\t');
    if (fields.size() != 3) continue;
    const std::string name(fields[0]);
    const std::string label = fields[1].empty() ? name : std::string(fields[1]) + " · " + name;
    for (const auto mapping : split(fields[2], ','))
      if (const auto port = hostPort(mapping)) ports[*port] = label;
  }
  return ports;
}

}  // namespace kelvane::DockerPorts
