#include "core/support/text.h"

#include <algorithm>
#include <cstdint>

#include <unicode/locid.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

namespace kelvane::Text {
namespace {

// The code point at `at` and the offset after it; a negative code point for
// an invalid sequence (ICU skips exactly the bytes that cannot belong to one).
UChar32 next(std::string_view text, int32_t& at) {
  UChar32 c = 0;
  U8_NEXT(reinterpret_cast<const uint8_t*>(text.data()), at, static_cast<int32_t>(text.size()), c);
  return c;
}

bool isBlank(UChar32 c) { return c >= 0 && u_isUWhiteSpace(c); }

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

std::string_view trimmed(std::string_view text) {
  if (text.size() > INT32_MAX) return text;
  int32_t begin = 0;
  while (begin < static_cast<int32_t>(text.size())) {
    int32_t after = begin;
    if (!isBlank(next(text, after))) break;
    begin = after;
  }
  int32_t end = begin;  // Just past the last character that is not blank.
  for (int32_t at = begin; at < static_cast<int32_t>(text.size());) {
    if (!isBlank(next(text, at))) end = at;
  }
  return text.substr(static_cast<size_t>(begin), static_cast<size_t>(end - begin));
}

std::string lowercased(std::string_view text) {
  std::string out;
  icu::UnicodeString::fromUTF8(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())))
      .toLower(icu::Locale::getRoot())
      .toUTF8String(out);
  return out;
}

std::string asciiLowercased(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = asciiLower(c);
  return out;
}

bool equalsIgnoringASCIICase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return asciiLower(x) == asciiLower(y);
         });
}

bool isValidUtf8(std::string_view bytes) {
  if (bytes.size() > INT32_MAX) return false;
  for (int32_t at = 0; at < static_cast<int32_t>(bytes.size());)
    if (next(bytes, at) < 0) return false;
  return true;
}

std::string validUtf8(std::string_view bytes) {
  if (isValidUtf8(bytes)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + 16);
  for (int32_t at = 0; at < static_cast<int32_t>(bytes.size());) {
    const int32_t start = at;
    if (next(bytes, at) < 0) {
      out += "\xEF\xBF\xBD";
    } else {
      out.append(bytes.substr(static_cast<size_t>(start), static_cast<size_t>(at - start)));
    }
  }
  return out;
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> fields;
  for (;;) {
    const size_t at = text.find(separator);
    fields.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return fields;
    text.remove_prefix(at + 1);
  }
}

}  // namespace kelvane::Text
