#pragma once
// ProjectRoot: the name of the project a folder belongs to, found by walking up
// to the nearest folder with a version-control or package manifest.
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace kelvane::ProjectRoot {

// Returns the name of the nearest folder at or above `path`, below `home`,
// holding one of .git, package.json, Cargo.toml, Package.swift, go.mod,
// pyproject.toml, Gemfile, composer.json, pom.xml, build.gradle (as `exists`
// tells). A path inside node_modules counts from the folder holding it.
// nullopt outside the home folder, inside Desktop, Documents, Downloads and
// the sandbox and cloud folders of Library (never probed), or when none matches.
[[nodiscard]] std::optional<std::string> name(
    std::string_view path, std::string_view home,
    const std::function<bool(const std::string&)>& exists);

}  // namespace kelvane::ProjectRoot
