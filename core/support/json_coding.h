#pragma once
// JSON helpers shared by every record: optional fields, fenced decoding, the
// store's compact sorted encoding, and the lenient key-by-key readers.
#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace kelvane {

// Sets j[key] only when `value` holds something.
template <class T>
void putOptional(nlohmann::json& j, const char* key, const std::optional<T>& value) {
  if (value) j[key] = *value;
}

// Returns the T that `j` encodes, or nullopt if it is not a T.
template <class T>
[[nodiscard]] std::optional<T> decodeJsonValue(const nlohmann::json& j) noexcept {
  try {
    return j.get<T>();
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Returns the T that `text` encodes, or nullopt if it is not JSON or not a T.
template <class T>
[[nodiscard]] std::optional<T> decodeJson(std::string_view text) noexcept {
  const auto j = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (j.is_discarded()) return std::nullopt;
  return decodeJsonValue<T>(j);
}

// Compact text with sorted keys; invalid UTF-8 in strings is replaced by U+FFFD
// instead of failing. nullopt only when a value cannot be encoded at all.
[[nodiscard]] std::optional<std::string> encodeJson(const nlohmann::json& j) noexcept;

template <class T>
[[nodiscard]] std::optional<std::string> encodeValue(const T& value) noexcept {
  try {
    return encodeJson(nlohmann::json(value));
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// Lenient reading: each helper reads one key and never throws. `issue` is set
// when the key is present but had to be repaired or replaced.
namespace Lenient {

// The key's value when it is a T (numbers of other kinds converted when exact
// enough for T); the default and an issue when present but not a T.
template <class T>
T read(const nlohmann::json& j, const char* key, T fallback, bool& issue);
template <>
bool read<bool>(const nlohmann::json& j, const char* key, bool fallback, bool& issue);
template <>
double read<double>(const nlohmann::json& j, const char* key, double fallback, bool& issue);
template <>
int64_t read<int64_t>(const nlohmann::json& j, const char* key, int64_t fallback, bool& issue);
template <>
std::string read<std::string>(const nlohmann::json& j, const char* key, std::string fallback,
                              bool& issue);

// The range a number is kept in, both ends included.
template <class T>
struct Range {
  T low;
  T high;
};

// The key's value as read() gives it, clamped into `range`; an issue also when
// clamping changed it.
template <class T>
T clamped(const nlohmann::json& j, const char* key, T fallback, Range<T> range, bool& issue) {
  const T value = read<T>(j, key, fallback, issue);
  const T kept = std::clamp(value, range.low, range.high);
  if (kept != value) issue = true;
  return kept;
}

}  // namespace Lenient

}  // namespace kelvane
