#pragma once
// Property-list values in the JSON of the network services file. Booleans,
// integers, reals, text, arrays and dictionaries are plain JSON; the kinds JSON
// lacks are one-key objects: {"$data": base64}, {"$date": seconds since
// 2001-01-01Z}, {"$uid": n} and {"$real": "nan" | "inf" | "-inf"}.
#include <optional>

#include <nlohmann/json.hpp>

#include "core/proxyswitch/plist_value.h"

namespace kelvane {

// Returns the JSON form of `value`.
nlohmann::json plistToJson(const PlistValue& value);
// Returns the value `j` holds; nullopt for null, integers beyond signed 64
// bits, malformed one-key forms, or nesting deeper than any real configuration.
[[nodiscard]] std::optional<PlistValue> plistFromJson(const nlohmann::json& j);

}  // namespace kelvane
