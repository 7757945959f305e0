#include "core/disk/disk_paths.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdlib.h>
#include <sys/stat.h>

namespace kelvane::DiskPaths {
namespace {

struct CodePoint {
  uint32_t value = 0;  // U+FFFD stands in for a byte that does not start valid UTF-8.
  size_t length = 1;
};

// Decodes the UTF-8 sequence at `at`; a malformed one reads as one replacement byte.
CodePoint decodeAt(std::string_view text, size_t at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  if (lead < 0x80) return {lead, 1};
  const size_t length = lead >= 0xF8   ? 0
                        : lead >= 0xF0 ? 4
                        : lead >= 0xE0 ? 3
                        : lead >= 0xC2 ? 2
                                       : 0;
  if (length == 0 || at + length > text.size()) return {0xFFFD, 1};
  uint32_t value = lead & (0x7F >> length);
  for (size_t i = 1; i < length; ++i) {
    const auto next = static_cast<unsigned char>(text[at + i]);
    if ((next & 0xC0) != 0x80) return {0xFFFD, 1};
    value = (value << 6) | (next & 0x3F);
  }
  return {value, length};
}

// Only lowered() results reach here, and every one of them is below U+0800.
void appendUtf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

// Blanks and line breaks, including the Unicode spaces a pasted path may carry.
bool isBlank(uint32_t cp) {
  return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
         (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F ||
         cp == 0x205F || cp == 0x3000;
}

std::string_view trimmed(std::string_view text) {
  size_t begin = 0;
  while (begin < text.size()) {
    const CodePoint cp = decodeAt(text, begin);
    if (!isBlank(cp.value)) break;
    begin += cp.length;
  }
  size_t end = begin;  // Just past the last character that is not blank.
  for (size_t at = begin; at < text.size();) {
    const CodePoint cp = decodeAt(text, at);
    at += cp.length;
    if (!isBlank(cp.value)) end = at;
  }
  return text.substr(begin, end - begin);
}

// Lower-cases Latin (with Latin-1 and Extended-A), Greek and Cyrillic capitals, so
// that kept folders with accented names match in any spelling of their case.
uint32_t lowered(uint32_t cp) {
  if ((cp >= 'A' && cp <= 'Z') || (cp >= 0xC0 && cp <= 0xDE && cp != 0xD7)) return cp + 0x20;
  if (cp >= 0x100 && cp <= 0x17F) {
    if (cp == 0x130 || cp == 0x138 || cp == 0x149 || cp == 0x17F) return cp;
    if (cp == 0x178) return 0xFF;
    const bool oddCapitals = (cp >= 0x139 && cp <= 0x148) || cp >= 0x179;
    return (cp % 2 == 1) == oddCapitals ? cp + 1 : cp;
  }
  if ((cp >= 0x391 && cp <= 0x3A9 && cp != 0x3A2) || (cp >= 0x410 && cp <= 0x42F)) return cp + 0x20;
  if (cp >= 0x400 && cp <= 0x40F) return cp + 0x50;
  if (cp == 0x386) return 0x3AC;
  if (cp >= 0x388 && cp <= 0x38A) return cp + 0x25;
  if (cp == 0x38C) return 0x3CC;
  if (cp == 0x38E || cp == 0x38F) return cp + 0x3F;
  return cp;
}

std::string lowerCased(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    const CodePoint cp = decodeAt(text, at);
    const uint32_t lower = lowered(cp.value);
    if (lower != cp.value)
      appendUtf8(out, lower);
    else
      out.append(text.substr(at, cp.length));  // Stray bytes are kept as they are.
    at += cp.length;
  }
  return out;
}

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

std::string withSlash(const std::string& path) { return path == "/" ? path : path + "/"; }

// True for an absolute path other than "/" with no empty, "." or ".." piece, which is
// what standardising it would leave unchanged.
bool isClean(std::string_view path) {
  if (path.size() < 2 || path[0] != '/' || path.find('\0') != std::string_view::npos) return false;
  size_t begin = 1;
  while (true) {
    const size_t end = std::min(path.find('/', begin), path.size());
    const std::string_view piece = path.substr(begin, end - begin);
    if (piece.empty() || piece == "." || piece == "..") return false;
    if (end == path.size()) return true;
    begin = end + 1;
  }
}

std::optional<std::string> realPath(const std::string& path) {
  const std::unique_ptr<char, decltype(&::free)> resolved(::realpath(path.c_str(), nullptr),
                                                          &::free);
  if (!resolved) return std::nullopt;
  return std::string(resolved.get());
}

}  // namespace

bool exists(std::string_view path) {
  if (path.empty() || path.find('\0') != std::string_view::npos) return false;
  struct stat info;
  return ::lstat(std::string(path).c_str(), &info) == 0;
}

std::string expand(std::string_view path, std::string_view home) {
  const std::string_view text = trimmed(path);
  if (text == "~") return std::string(home);
  if (startsWith(text, "~/")) return std::string(home) + std::string(text.substr(1));
  return std::string(text);
}

std::string normalized(std::string_view path) {
  const std::string_view text = trimmed(path);
  std::vector<std::string_view> pieces;
  for (size_t begin = 0; begin <= text.size();) {
    const size_t end = std::min(text.find('/', begin), text.size());
    const std::string_view piece = text.substr(begin, end - begin);
    if (piece == "..") {
      if (!pieces.empty()) pieces.pop_back();
    } else if (!piece.empty() && piece != ".") {
      pieces.push_back(piece);
    }
    begin = end + 1;
  }
  std::string joined;
  for (const std::string_view piece : pieces) (joined += '/') += piece;
  return joined.empty() ? "/" : lowerCased(joined);
}

std::vector<std::string> keptEntries(const std::vector<std::string>& entries,
                                     std::string_view home) {
  std::vector<std::string> result;
  for (const std::string& entry : entries) {
    const std::string expanded = expand(trimmed(entry), home);
    if (trimmed(expanded).empty()) continue;
    result.push_back(normalized(expanded));
  }
  return result;
}

bool kept(std::string_view path, const std::vector<std::string>& kept) {
  const std::string p = normalized(path);
  const std::string pSlash = withSlash(p);
  for (const std::string& k : kept) {
    if (p == k || startsWith(p, withSlash(k)) || startsWith(k, pSlash)) return true;
  }
  return false;
}

bool inside(std::string_view path, std::string_view root) {
  if (!isClean(path) || !isClean(root)) return false;
  const size_t slash = path.rfind('/');
  const std::string parent = slash == 0 ? "/" : std::string(path.substr(0, slash));
  const auto realParent = realPath(parent);
  const auto realRoot = realPath(std::string(root));
  if (!realParent || !realRoot || *realRoot == "/") return false;
  return *realParent == *realRoot || startsWith(*realParent, *realRoot + "/");
}

}  // namespace kelvane::DiskPaths
