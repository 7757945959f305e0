#pragma once
// DockerPorts: which container publishes which host port, from the container
// tool's listing. The host runs the tool with `args` and hands over its text.
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::DockerPorts {

// The listing's arguments: name, compose project and ports, tab-separated.
inline const std::vector<std::string> args{
    "ps", "--format", "{{.Names}}\t{{.Label \"com.docker.compose.project\"}}\t{{.Ports}}"};

// Maps each published host port to its container's label: "project · name",
// or the name alone outside a compose project. Lines without exactly three
// fields, unpublished ports and ports that do not fit 16 bits are skipped; a
// later line wins a port; invalid UTF-8 is replaced.
std::map<uint16_t, std::string> parse(std::string_view text);

}  // namespace kelvane::DockerPorts
