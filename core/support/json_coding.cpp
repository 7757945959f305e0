#include "core/support/json_coding.h"

#include <cmath>
#include <cstdint>
#include <limits>

namespace kelvane {

std::optional<std::string> encodeJson(const nlohmann::json& j) noexcept {
  try {
    return j.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

namespace Lenient {
namespace {

// A JSON number as a double, when it is one.
std::optional<double> number(const nlohmann::json& v) {
  if (v.is_number_integer() || v.is_number_unsigned() || v.is_number_float())
    return v.get<double>();
  return std::nullopt;
}

}  // namespace

template <>
bool read<bool>(const nlohmann::json& j, const char* key, bool fallback, bool& issue) {
  const auto it = j.find(key);
  if (it == j.end()) return fallback;
  if (it->is_boolean()) return it->get<bool>();
  issue = true;
  return fallback;
}

template <>
double read<double>(const nlohmann::json& j, const char* key, double fallback, bool& issue) {
  const auto it = j.find(key);
  if (it == j.end()) return fallback;
  if (const auto n = number(*it); n && std::isfinite(*n)) return *n;
  issue = true;
  return fallback;
}

template <>
int64_t read<int64_t>(const nlohmann::json& j, const char* key, int64_t fallback, bool& issue) {
  const auto it = j.find(key);
  if (it == j.end()) return fallback;
  if (it->is_number_unsigned()) {
    // Too large for a signed count: the largest one, which any clamp then lowers.
    const auto u = it->get<uint64_t>();
    return u > uint64_t(std::numeric_limits<int64_t>::max()) ? std::numeric_limits<int64_t>::max()
                                                             : int64_t(u);
  }
  if (it->is_number_integer()) return it->get<int64_t>();
  // A whole number written as a float (15.0) is still an integer.
  if (it->is_number_float()) {
    const double d = it->get<double>();
    if (std::isfinite(d) && d == std::trunc(d) && std::fabs(d) < 9e18) return int64_t(d);
  }
  issue = true;
  return fallback;
}

template <>
std::string read<std::string>(const nlohmann::json& j, const char* key, std::string fallback,
                              bool& issue) {
  const auto it = j.find(key);
  if (it == j.end()) return fallback;
  if (it->is_string()) return it->get<std::string>();
  issue = true;
  return fallback;
}

}  // namespace Lenient
}  // namespace kelvane
