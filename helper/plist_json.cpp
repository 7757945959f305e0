#include "helper/plist_json.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "core/support/base64.h"

namespace kelvane {
namespace {

using nlohmann::json;

constexpr int kMaxDepth = 256;

json realToJson(double d) {
  if (std::isnan(d)) return {{"$real", "nan"}};
  if (std::isinf(d)) return {{"$real", d > 0 ? "inf" : "-inf"}};
  return d;
}

// The value of a one-key tagged object, nullopt when `j` is not one.
std::optional<std::optional<PlistValue>> taggedValue(const json& j) {
  if (j.size() != 1) return std::nullopt;
  const auto only = j.begin();
  const std::string& key = only.key();
  const json& v = only.value();
  if (key == "$data" && v.is_string()) {
    auto bytes = Base64::decode(v.get_ref<const std::string&>());
    return bytes ? std::optional<PlistValue>(PlistValue(std::move(*bytes))) : std::nullopt;
  }
  if (key == "$date" && v.is_number()) return PlistValue(PlistDate{v.get<double>()});
  if (key == "$uid" && v.is_number_unsigned()) return PlistValue(PlistUid{v.get<uint64_t>()});
  if (key == "$real" && v.is_string()) {
    const auto& text = v.get_ref<const std::string&>();
    const double inf = std::numeric_limits<double>::infinity();
    if (text == "nan") return PlistValue(std::numeric_limits<double>::quiet_NaN());
    if (text == "inf") return PlistValue(inf);
    if (text == "-inf") return PlistValue(-inf);
    return std::optional<PlistValue>();
  }
  return std::nullopt;
}

std::optional<PlistValue> fromJson(const json& j, int depth);

std::optional<PlistValue> objectFromJson(const json& j, int depth) {
  if (auto tagged = taggedValue(j)) return *tagged;
  PlistDict dict;
  for (const auto& [key, item] : j.items()) {
    auto value = fromJson(item, depth + 1);
    if (!value) return std::nullopt;
    dict.emplace(key, std::move(*value));
  }
  return std::optional<PlistValue>(std::in_place, std::move(dict));
}

std::optional<PlistValue> fromJson(const json& j, int depth) {
  if (depth > kMaxDepth) return std::nullopt;
  switch (j.type()) {
    case json::value_t::boolean:
      return PlistValue(j.get<bool>());
    case json::value_t::number_integer:
      return PlistValue(j.get<int64_t>());
    case json::value_t::number_unsigned:
      if (j.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max())) return std::nullopt;
      return PlistValue(j.get<int64_t>());
    case json::value_t::number_float:
      return PlistValue(j.get<double>());
    case json::value_t::string:
      return PlistValue(j.get<std::string>());
    case json::value_t::array: {
      PlistArray array;
      for (const auto& item : j) {
        auto value = fromJson(item, depth + 1);
        if (!value) return std::nullopt;
        array.push_back(std::move(*value));
      }
      return std::optional<PlistValue>(std::in_place, std::move(array));
    }
    case json::value_t::object:
      return objectFromJson(j, depth);
    default:  // null, binary, discarded
      return std::nullopt;
  }
}

}  // namespace

json plistToJson(const PlistValue& value) {
  const auto& v = value.value;
  if (const auto* b = std::get_if<bool>(&v)) return *b;
  if (const auto* i = std::get_if<int64_t>(&v)) return *i;
  if (const auto* d = std::get_if<double>(&v)) return realToJson(*d);
  if (const auto* s = std::get_if<std::string>(&v)) return *s;
  if (const auto* data = std::get_if<PlistData>(&v)) return {{"$data", Base64::encode(*data)}};
  if (const auto* date = std::get_if<PlistDate>(&v)) return {{"$date", date->seconds}};
  if (const auto* uid = std::get_if<PlistUid>(&v)) return {{"$uid", uid->value}};
  if (const auto* array = std::get_if<PlistArray>(&v)) {
    json out = json::array();
    for (const auto& item : *array) out.push_back(plistToJson(item));
    return out;
  }
  json out = json::object();
  for (const auto& [key, item] : std::get<PlistDict>(v)) out[key] = plistToJson(item);
  return out;
}

std::optional<PlistValue> plistFromJson(const json& j) { return fromJson(j, 0); }

}  // namespace kelvane
