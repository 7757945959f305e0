#include "core/net/project_root.h"

#include <array>

namespace kelvane::ProjectRoot {
namespace {

// Folders whose probing would ask the user for consent.
constexpr std::array<std::string_view, 6> kPrivate{"Desktop",
                                                   "Documents",
                                                   "Downloads",
                                                   "Library/Mobile Documents",
                                                   "Library/Containers",
                                                   "Library/Group Containers"};

constexpr std::array<std::string_view, 10> kMarkers{
    ".git",           "package.json", "Cargo.toml",    "Package.swift", "go.mod",
    "pyproject.toml", "Gemfile",      "composer.json", "pom.xml",       "build.gradle"};

std::string_view withoutTrailingSlashes(std::string_view path) {
  while (path.size() > 1 && path.ends_with('/')) path.remove_suffix(1);
  return path;
}

bool atOrBelow(std::string_view path, std::string_view folder) {
  return path == folder ||
         (path.starts_with(folder) && path.size() > folder.size() && path[folder.size()] == '/');
}

bool below(std::string_view path, std::string_view folder) {
  return path.size() > folder.size() + 1 && path.starts_with(folder) && path[folder.size()] == '/';
}

std::string_view lastComponent(std::string_view folder) {
  return folder.substr(folder.rfind('/') + 1);
}

}  // namespace

std::optional<std::string> name(std::string_view rawPath, std::string_view rawHome,
                                const std::function<bool(const std::string&)>& exists) {
  std::string_view path = withoutTrailingSlashes(rawPath);
  const std::string_view home = withoutTrailingSlashes(rawHome);
  if (home.empty() || home == "/" || !exists) return std::nullopt;
  for (const auto folder : kPrivate)
    if (atOrBelow(path, std::string(home) + "/" + std::string(folder))) return std::nullopt;
  if (const size_t cut = path.find("/node_modules/"); cut != std::string_view::npos)
    path = path.substr(0, cut);
  if (!below(path, home)) return std::nullopt;
  for (std::string_view folder = path; below(folder, home);
       folder = folder.substr(0, folder.rfind('/'))) {
    for (const auto marker : kMarkers)
      if (exists(std::string(folder) + "/" + std::string(marker)))
        return std::string(lastComponent(folder));
  }
  return std::nullopt;
}

}  // namespace kelvane::ProjectRoot
