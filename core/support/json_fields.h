#pragma once
// Strict field coding for stored records: integers must be whole and
// fit their width, numbers are never booleans, and maps keyed by unsigned IDs
// are objects keyed by the decimal text of the ID. Every failure throws a
// nlohmann::json::exception so that the enclosing record fails as a whole.
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace kelvane::Fields {

template <class T>
T value(const nlohmann::json& v);

namespace detail {

template <class T>
struct IsVector : std::false_type {};
template <class E>
struct IsVector<std::vector<E>> : std::true_type {};
template <class T>
struct IsMap : std::false_type {};
template <class K, class V>
struct IsMap<std::map<K, V>> : std::true_type {};

[[noreturn]] inline void fail(const nlohmann::json& v, const std::string& what) {
  throw nlohmann::json::type_error::create(302, what, &v);
}

// A whole number that fits Int; a float is accepted when it is exactly whole.
template <class Int>
Int integer(const nlohmann::json& v) {
  if (v.is_number_unsigned()) {
    const auto u = v.get<uint64_t>();
    if (std::in_range<Int>(u)) return static_cast<Int>(u);
  } else if (v.is_number_integer()) {
    const auto i = v.get<int64_t>();
    if (std::in_range<Int>(i)) return static_cast<Int>(i);
  } else if (v.is_number_float()) {
    const double d = v.get<double>();
    const double limit = std::ldexp(1.0, std::numeric_limits<Int>::digits);
    const double low = std::is_signed_v<Int> ? -limit : 0.0;
    if (std::isfinite(d) && d == std::trunc(d) && d >= low && d < limit) return static_cast<Int>(d);
  } else {
    fail(v, "expected an integer");
  }
  fail(v, "integer out of range");
}

// The decimal text of an unsigned ID: digits only (from_chars takes no sign or
// blanks for unsigned types), nothing after them, within the key's range.
template <class Key>
Key decimalKey(const std::string& text, const nlohmann::json& context) {
  Key key{};
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, key);
  if (ec != std::errc() || ptr != end) fail(context, "map key is not a decimal number: " + text);
  return key;
}

template <class K, class V>
std::map<K, V> map(const nlohmann::json& v) {
  if (!v.is_object()) fail(v, "expected an object");
  std::map<K, V> out;
  for (const auto& [text, element] : v.items()) {
    if constexpr (std::is_same_v<K, std::string>) {
      out[text] = value<V>(element);
    } else {
      out[decimalKey<K>(text, v)] = value<V>(element);
    }
  }
  return out;
}

}  // namespace detail

// Reads `v` as a T under the strict rules; records use their own from_json.
template <class T>
T value(const nlohmann::json& v) {
  if constexpr (std::is_same_v<T, bool>) {
    if (!v.is_boolean()) detail::fail(v, "expected a Boolean");
    return v.get<bool>();
  } else if constexpr (std::is_integral_v<T>) {
    return detail::integer<T>(v);
  } else if constexpr (std::is_floating_point_v<T>) {
    if (!v.is_number()) detail::fail(v, "expected a number");
    return v.get<T>();
  } else if constexpr (std::is_same_v<T, std::string>) {
    if (!v.is_string()) detail::fail(v, "expected text");
    return v.get<std::string>();
  } else if constexpr (detail::IsVector<T>::value) {
    if (!v.is_array()) detail::fail(v, "expected a list");
    T out;
    out.reserve(v.size());
    for (const auto& element : v) out.push_back(value<typename T::value_type>(element));
    return out;
  } else if constexpr (detail::IsMap<T>::value) {
    return detail::map<typename T::key_type, typename T::mapped_type>(v);
  } else {
    return v.get<T>();
  }
}

// Reads the required j[key]; throws when it is missing or not a T.
template <class T>
T required(const nlohmann::json& j, const char* key) {
  return value<T>(j.at(key));
}

// Reads j[key], absent when missing or null; throws when present but not a T.
template <class T>
std::optional<T> optional(const nlohmann::json& j, const char* key) {
  const auto it = j.find(key);
  if (it == j.end() || it->is_null()) return std::nullopt;
  return value<T>(*it);
}

// Writes a map keyed by unsigned IDs as an object keyed by their decimal text.
template <class K, class V>
nlohmann::json keyed(const std::map<K, V>& values) {
  static_assert(std::is_unsigned_v<K>);
  nlohmann::json out = nlohmann::json::object();
  for (const auto& [key, element] : values) out[std::to_string(key)] = element;
  return out;
}

}  // namespace kelvane::Fields
