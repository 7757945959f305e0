#include "core/config/string_or_nil.h"

#include <nlohmann/json.hpp>

namespace kelvane {

void from_json(const nlohmann::json& j, StringOrNil& element) {
  element.value = j.is_string() ? std::optional(j.get<std::string>()) : std::nullopt;
}

void to_json(nlohmann::json& j, const StringOrNil& element) {
  j = element.value ? nlohmann::json(*element.value) : nlohmann::json(nullptr);
}

std::vector<std::string> readTextList(const nlohmann::json& j, const char* key,
                                      std::vector<std::string> absent,
                                      std::vector<std::string> damaged, bool& issue) {
  const auto it = j.find(key);
  if (it == j.end()) return absent;
  if (!it->is_array()) {
    issue = true;
    return damaged;
  }
  std::vector<std::string> out;
  for (const auto& element : it->get<std::vector<StringOrNil>>()) {
    if (element.value) {
      out.push_back(*element.value);
    } else {
      issue = true;
    }
  }
  return out;
}

}  // namespace kelvane
