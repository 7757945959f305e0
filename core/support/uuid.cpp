#include "core/support/uuid.h"

#include <nlohmann/json.hpp>
#include <uuid/uuid.h>

namespace kelvane {

Uuid Uuid::random() {
  std::array<uint8_t, 16> bytes{};
  uuid_generate_random(bytes.data());
  return Uuid(bytes);
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
  // uuid_parse wants a NUL-terminated 36-character string.
  if (text.size() != 36) return std::nullopt;
  char buffer[37];
  text.copy(buffer, 36);
  buffer[36] = '\0';
  std::array<uint8_t, 16> bytes{};
  if (uuid_parse(buffer, bytes.data()) != 0) return std::nullopt;
  return Uuid(bytes);
}

std::string Uuid::text() const {
  char buffer[37];
  uuid_unparse_upper(bytes_.data(), buffer);
  return buffer;
}

void to_json(nlohmann::json& j, const Uuid& uuid) { j = uuid.text(); }

void from_json(const nlohmann::json& j, Uuid& uuid) {
  const auto parsed = j.is_string() ? Uuid::parse(j.get_ref<const std::string&>()) : std::nullopt;
  if (!parsed) throw nlohmann::json::type_error::create(302, "not a UUID", &j);
  uuid = *parsed;
}

}  // namespace kelvane
