#include "core/speed/speed_server.h"

#include <nlohmann/json.hpp>

namespace kelvane {

Result<std::vector<SpeedServer>, std::string> SpeedServer::decode(std::string_view data) {
  const auto j = nlohmann::json::parse(data, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) return Unexpected(std::string("the server list is not JSON"));
  if (!j.is_array()) return Unexpected(std::string("the server list is not a list"));
  std::vector<SpeedServer> servers;
  for (const auto& entry : j) {
    const auto host = entry.is_object() ? entry.find("host") : entry.end();
    if (!entry.is_object() || host == entry.end() || !host->is_string())
      return Unexpected(std::string("a server has no host text"));
    const auto& text = host->get_ref<const std::string&>();
    if (text.empty() || text.front() == ':') continue;
    servers.push_back({text});
  }
  return servers;
}

}  // namespace kelvane
