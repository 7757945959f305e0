#pragma once
// StringOrNil: one element of a user-edited text list. A string gives its text;
// anything else gives nothing, so one bad element never fails the whole list.
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace kelvane {

// Holds one list element read from JSON: its text, or nothing.
struct StringOrNil {
  std::optional<std::string> value;  // Absent when the element was not a string.
  bool operator==(const StringOrNil&) const = default;
};

// Reads any JSON value; never throws.
void from_json(const nlohmann::json& j, StringOrNil& element);
// Writes the text, or null when there is none.
void to_json(nlohmann::json& j, const StringOrNil& element);

// Reads j[key] as a text list: `absent` when the key is missing, `damaged` and
// an issue when it is not a list, else its strings with the others dropped
// (an issue when any was dropped). Never throws.
std::vector<std::string> readTextList(const nlohmann::json& j, const char* key,
                                      std::vector<std::string> absent,
                                      std::vector<std::string> damaged, bool& issue);

}  // namespace kelvane
