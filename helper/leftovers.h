#pragma once
// The temporary files a write by replaceFile leaves behind when the daemon is
// killed between creating one and renaming it over its target. Each holds a copy
// of the user's settings or of the network document, and nothing else ever
// removes them.
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace kelvane {

// Returns true when a folder entry named `fileName` is a temporary file of the
// file named `targetName` (another target's, or a name of another shape, is not).
bool isTemporaryOf(std::string_view fileName, std::string_view targetName);

// Removes from the folder of `target` the temporary files of `target` that are
// regular files owned by this process's user, and returns their paths. Nothing
// else is touched: not other targets' temporaries, links, folders or FIFOs of
// the same name, nor other users' files. A folder that cannot be read gives none.
// The caller makes sure no write of `target` is under way.
std::vector<std::string> removeLeftoverTemporaries(const std::filesystem::path& target);

}  // namespace kelvane
