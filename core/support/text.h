#pragma once
// Text: the few Unicode-aware string operations the rules need (trimming,
// lower-casing, UTF-8 checks), on UTF-8 std::string values.
#include <string>
#include <string_view>
#include <vector>

namespace kelvane::Text {

// Drops white space and line breaks (every Unicode White_Space character) at
// both ends. Invalid UTF-8 is never trimmed.
std::string_view trimmed(std::string_view text);
// Full Unicode lower-casing, independent of the user's language. Invalid UTF-8
// sequences come out as U+FFFD.
std::string lowercased(std::string_view text);
// ASCII-only lower-casing, for protocol tokens (schemes, hosts, header names).
std::string asciiLowercased(std::string_view text);
// True when the texts are equal once ASCII letters are lower-cased; other
// bytes compare as they are ("Content-TYPE" equals "content-type", "Å" only "Å").
bool equalsIgnoringASCIICase(std::string_view a, std::string_view b);
bool isValidUtf8(std::string_view bytes);
// The bytes as UTF-8 text, each invalid sequence replaced by U+FFFD.
std::string validUtf8(std::string_view bytes);
// Splits at every `separator`, keeping empty fields: "a,,b" gives "a", "", "b"
// and "" gives one empty field. The pieces point into `text`.
std::vector<std::string_view> split(std::string_view text, char separator);

}  // namespace kelvane::Text
