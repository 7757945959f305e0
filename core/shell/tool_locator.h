#pragma once
// ToolLocator: finds developer tools (package managers, git, docker, xcrun) in the many
// places they live, and builds the environment they are run in. It runs no tool itself
// apart from the developer-directory query.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/shell/shell.h"

namespace kelvane::ToolLocator {

// Returns the active developer directory from "/usr/bin/xcode-select -p", or nullopt when
// that tool is missing, fails, times out after 5 s, or names a path that does not exist.
[[nodiscard]] std::optional<std::string> developerDir();

// Runs `selectTool -p` the way developerDir() runs its tool, with the same nullopt cases.
[[nodiscard]] std::optional<std::string> developerDirFrom(const std::string& selectTool);

// Returns the path of the executable regular file `name` in the first folder of
// dirs(home, path) that has one, or nullopt. In "/usr/bin", git, pip3 and python3 count
// only when `developerDir` names a directory, xcrun only when it lies inside an ".app/"
// bundle; `developerDir` is asked only then. A `name` that is empty or holds "/" finds nothing.
[[nodiscard]] std::optional<std::string> find(
    std::string_view name, std::string_view home, std::optional<std::string_view> path,
    const std::function<std::optional<std::string>()>& developerDir);

// Returns the folders find() searches, in order, each once: the PATH pieces (`path`
// nullopt reads as empty), then the usual tool folders, then the bin folder of the highest
// node version under `home`/.nvm/versions/node when that folder has entries.
std::vector<std::string> dirs(std::string_view home, std::optional<std::string_view> path);

// Returns the environment a located `tool` runs in: exactly PATH (the tool's own folder,
// then the system folders), HOME = `home` and LANG = "en_US.UTF-8".
ShellEnv environment(std::string_view tool, std::string_view home);

// Returns the version key of a name such as "v20.11.1": leading "v"s dropped, the rest
// split on "." (empty pieces dropped), each piece a decimal integer or 0 when it is not one.
// Keys compare element by element with operator<; a prefix of a longer key is smaller.
std::vector<int64_t> versionKey(std::string_view name);

}  // namespace kelvane::ToolLocator
