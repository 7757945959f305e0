#pragma once
// Uuid: identities of runs, closed tabs and tab groups, written as canonical
// upper-case text ("E621E1F8-C36C-495A-93FC-0C247A3E6E5F").
#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json_fwd.hpp>

namespace kelvane {

class Uuid {
 public:
  Uuid() = default;  // All zero bytes.
  explicit Uuid(const std::array<uint8_t, 16>& bytes) : bytes_(bytes) {}

  // A new random (version 4) identity.
  static Uuid random();
  // Reads the canonical 36-character form in either letter case; nullopt otherwise.
  [[nodiscard]] static std::optional<Uuid> parse(std::string_view text);
  std::string text() const;
  const std::array<uint8_t, 16>& bytes() const { return bytes_; }

  auto operator<=>(const Uuid&) const = default;

 private:
  std::array<uint8_t, 16> bytes_{};
};

void to_json(nlohmann::json& j, const Uuid& uuid);
// Throws nlohmann::json::type_error unless the value is canonical UUID text.
void from_json(const nlohmann::json& j, Uuid& uuid);

}  // namespace kelvane

template <>
struct std::hash<kelvane::Uuid> {
  size_t operator()(const kelvane::Uuid& u) const noexcept {
    size_t h = 0;
    for (uint8_t b : u.bytes()) h = h * 131 + b;
    return h;
  }
};
