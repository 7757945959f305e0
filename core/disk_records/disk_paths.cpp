#include "core/disk_records/disk_paths.h"

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdlib.h>
#include <sys/stat.h>

#include "core/support/text.h"

namespace kelvane::DiskPaths {
namespace {

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
  const std::string_view text = Text::trimmed(path);
  if (text == "~") return std::string(home);
  if (startsWith(text, "~/")) return std::string(home) + std::string(text.substr(1));
  return std::string(text);
}

std::string normalized(std::string_view path) {
  const std::string_view text = Text::trimmed(path);
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
  return joined.empty() ? "/" : Text::lowercased(joined);
}

std::vector<std::string> keptEntries(const std::vector<std::string>& entries,
                                     std::string_view home) {
  std::vector<std::string> result;
  for (const std::string& entry : entries) {
    const std::string expanded = expand(Text::trimmed(entry), home);
    if (Text::trimmed(expanded).empty()) continue;
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
