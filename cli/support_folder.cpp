#include "cli/support_folder.h"

namespace kelvane::cli {

Store supportFolder(const std::string& given) {
  return Store(given.empty() ? Store::defaultDir() : std::filesystem::path(given));
}

Config readConfig(const Store& store, Date now) {
  const auto text = store.read("config.json");
  const auto config = text ? Config::fromJSON(std::string_view(*text), now) : std::nullopt;
  return config.value_or(Config::fresh(now));
}

}  // namespace kelvane::cli
