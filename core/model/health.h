#pragma once
// Health: the machine's memory, CPU and disk figures at the moment of a snapshot.
#include <cstddef>
#include <cstdint>
#include <functional>

#include <nlohmann/json_fwd.hpp>

namespace kelvane {

// Holds the machine's figures at the moment of a snapshot.
struct Health {
  int64_t pressure = 0;   // Memory-pressure level as the producer reports it.
  uint64_t memUsed = 0;   // Bytes.
  uint64_t memTotal = 0;  // Bytes.
  double cpu = 0;         // Total CPU use.
  int64_t diskFree = 0;   // Bytes.
  int64_t diskTotal = 0;  // Bytes.
  bool operator==(const Health&) const = default;
};

// JSON coding; from_json throws nlohmann::json::exception when a key is
// missing, mistyped or does not fit its width.
void to_json(nlohmann::json& j, const Health& health);
void from_json(const nlohmann::json& j, Health& health);

}  // namespace kelvane

// Hashes field by field, consistently with ==.
template <>
struct std::hash<kelvane::Health> {
  size_t operator()(const kelvane::Health& health) const noexcept;
};
